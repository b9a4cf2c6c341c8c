// A started server on the slave side of a pseudo-terminal, with a temp directory as its base
// path. The test thread plays the client on the master side while Serve() runs one Poll on
// another thread.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <future>
#include <string>

#include "link/Rs232Server.h"
#include "platform/Clock.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {

struct SPollResult {
    int result = 0;
    std::string status;
};

class ServerOnPty : public ::testing::Test {
protected:
    static constexpr int kPort = 3;

    void SetUp() override {
        server.SetDeviceMap({{kPort, pty.SlavePath()}});
        ASSERT_EQ(server.StartServer(kPort, 115200, nullptr, nullptr), 1);
        server.SetBasePath(base.Path());
        SLinkLimits limits;
        limits.answer = 1000ms;  // tests that need the full 3 s answer limit set it back
        server.SetLinkLimits(limits);
    }
    void TearDown() override { SetClockForTest({}); }

    // Sends the request block, starts one Poll and takes the ACK.
    std::future<SPollResult> Request(const char* type, long cnt, const std::string& data) {
        pty.Send(MakeBlock(type, cnt, data));
        auto done = std::async(std::launch::async, [this] {
            SPollResult r;
            server.WaitForInQueue(1, CSerialPort::Clock::now() + 5s);
            r.result = server.Poll(r.status);
            return r;
        });
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
        return done;
    }
    // A request whose handler sends nothing: its status text.
    std::string Quiet(const char* type, long cnt, const std::string& data) {
        std::string status = Request(type, cnt, data).get().status;
        EXPECT_TRUE(pty.ReadUntilQuiet(100ms).empty());
        return status;
    }
    // Reads one reply block and answers it.
    SReadBlock Reply(uint8_t answer = ACK) {
        SReadBlock block;
        EXPECT_TRUE(pty.ReadBlock(block));
        EXPECT_TRUE(block.valid);
        pty.Send(answer);
        return block;
    }

    void WriteFile(const std::string& name, const std::string& content, time_t mtime = 0) {
        base.WriteFile(name, content);
        chmod((base / name).c_str(), 0644);
        if (mtime != 0) {
            utimbuf times{mtime, mtime};
            utime((base / name).c_str(), &times);
        }
    }

    CTempDir base;
    CPty pty;
    CRs232Server server;
};

inline Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 3)
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace rs232::test
