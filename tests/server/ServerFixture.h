// A started server on the slave side of a pseudo-terminal, with a temp directory as its base path
// and its log lines kept in memory. The test thread plays the client on the master side while
// Poll() runs one tick on another thread. Waits are short (header and rest 300 ms, answer 1 s);
// a test that needs the real limits sets SLinkLimits{}.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <future>
#include <string>

#include "log/LogFile.h"
#include "platform/Clock.h"
#include "server/Rs232Server.h"
#include "support/MemoryEventList.h"
#include "support/Pty.h"
#include "support/TempDir.h"

namespace rs232::test {

struct SPollResult {
    int result = 0;
    std::string status;
    SPollEvent event;  // status is its text
};

class ServerOnPty : public ::testing::Test {
protected:
    static constexpr int kPort = 3;

    void SetUp() override {
        server.SetDeviceMap({{kPort, pty.SlavePath()}});
        server.SetEventRoute([this](const std::string& text, EEventLevel level) { events.Append(MakeTimeStamp() + text, level); });
        ASSERT_EQ(server.StartServer(kPort, 115200), 1);
        server.SetBasePath(base.Path());
        server.SetLinkLimits(Limits(1000ms));
    }
    void TearDown() override { SetClockForTest({}); }
    static SLinkLimits Limits(std::chrono::milliseconds answer) { return SLinkLimits{300ms, 300ms, answer, 50ms}; }
    // Sends bytes and waits until the server's port has them all queued, so the tick that
    // follows finds them (a pseudo-terminal passes bytes on asynchronously).
    void Deliver(const Bytes& bytes) {
        pty.Send(bytes);
        ASSERT_GE(server.WaitForInQueue(static_cast<int>(bytes.size()), CSerialPort::Clock::now() + 10s), static_cast<int>(bytes.size()));
    }
    // Delivers the bytes and runs one Poll on another thread.
    std::future<SPollResult> Poll(const Bytes& bytes) {
        Deliver(bytes);
        return std::async(std::launch::async, [this] {
            SPollResult r;
            r.result = server.Poll(r.event);
            r.status = r.event.text;
            return r;
        });
    }
    // Sends the request block, starts one Poll and takes the ACK.
    std::future<SPollResult> Request(const char* type, long cnt, const std::string& data) {
        auto done = Poll(MakeBlock(type, cnt, data));
        EXPECT_EQ(pty.Read(1), Bytes{ACK});
        return done;
    }
    // A request whose handler sends nothing: its status text.
    std::string Quiet(const char* type, long cnt, const std::string& data) {
        const std::string status = Request(type, cnt, data).get().status;
        EXPECT_TRUE(pty.ReadUntilQuiet(100ms).empty());
        return status;
    }
    // Reads one reply block and answers it.
    SReadBlock Reply(uint8_t answer = ACK) {
        SReadBlock block;
        EXPECT_TRUE(pty.ReadBlock(block) && block.valid);
        pty.Send(answer);
        return block;
    }
    void WriteFile(const std::string& name, const std::string& content, time_t mtime = 0) {
        base.WriteFile(name, content);
        chmod((base / name).c_str(), 0644);
        const utimbuf times{mtime, mtime};
        if (mtime != 0) utime((base / name).c_str(), &times);
    }

    CTempDir base;
    CPty pty;
    CMemoryEventList events;
    CRs232Server server;
};

}  // namespace rs232::test
