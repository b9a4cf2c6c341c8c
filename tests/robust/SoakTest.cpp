// A bounded soak on a noisy virtual line: the null-modem flips bits and drops bytes (seeded, so
// a run can be repeated), the client tool runs hundreds of small requests. A transfer the client
// reports as done must be byte-identical; failures are allowed, silent corruption is not. The
// server must still be serving at the end.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "ServedServer.h"
#include "ToolPaths.h"

namespace rs232::test {
namespace {

using Clock = std::chrono::steady_clock;

TEST(Soak, NoisyLineNeverCorruptsSilently) {
    CTempDir dir;
    const std::string base = dir / "base/";
    std::filesystem::create_directory(base);
    const std::string a = dir / "ttyA", b = dir / "ttyB";
    CChild modem({RS232_NULLMODEM, "--a", a, "--b", b, "--baud", "0", "--seed", "20240611",
                  "--ber", "0.00003", "--drop", "0.00003", "--burst", "0.00001"});
    ASSERT_TRUE(modem.WaitForLine("ready", 10s)) << modem.Err();
    CServedServer server(dir, a, base);
    ASSERT_TRUE(server.Started()) << server.Err();
    const std::string config = dir / "rs232-server.ini";

    auto client = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {RS232_CLIENT, "--device", b, "--config", config});
        SRunResult r = RunProgram(args, std::chrono::seconds(40));
        server.Drain();
        return r;
    };

    // Files on the server to read back.
    for (int k = 0; k < 4; ++k) WriteBytes(base + "s" + std::to_string(k), Pattern(100 + 150 * k, k));

    int done[3] = {}, failed[3] = {};
    const auto end = Clock::now() + std::chrono::seconds(55);
    for (unsigned i = 0; Clock::now() < end; ++i) {
        const int kind = static_cast<int>(i % 3);
        const std::string remote = "s" + std::to_string(i % 4);
        SCOPED_TRACE("request " + std::to_string(i));
        if (kind == 0) {
            const SRunResult r = client({"info", remote});
            if (r.code == 0) {
                const auto size = std::filesystem::file_size(base + remote);
                EXPECT_NE(r.out.find(std::to_string(size)), std::string::npos) << r.out;
            }
            (r.code == 0 ? done : failed)[kind]++;
        } else if (kind == 1) {
            const std::string local = dir / "got";
            std::filesystem::remove(local);
            const SRunResult r = client({"get", remote, local});
            if (r.code == 0) {
                EXPECT_TRUE(ReadBytes(local) == ReadBytes(base + remote)) << remote;
            }
            (r.code == 0 ? done : failed)[kind]++;
        } else {
            const Bytes content = Pattern(1 + (i * 37) % 700, 1000 + i);
            const std::string local = dir / "put", put = "p" + std::to_string(i % 5);
            WriteBytes(local, content);
            const SRunResult r = client({"put", local, put});
            if (r.code == 0) {
                EXPECT_TRUE(ReadBytes(base + put) == content) << put;
            }
            (r.code == 0 ? done : failed)[kind]++;
        }
        ASSERT_TRUE(server.Running()) << server.Err();
    }
    std::printf("info %d/%d, get %d/%d, put %d/%d done/failed\n", done[0], failed[0], done[1],
                failed[1], done[2], failed[2]);
    for (int kind = 0; kind < 3; ++kind) EXPECT_GT(done[kind], 0) << "request kind " << kind;

    // Still serving: ENQ answered with SYN (the line is still noisy, so a few tries).
    bool answered = false;
    {
        CLineEnd line(b);
        for (int t = 0; t < 20 && !answered; ++t) {
            line.Write({0x05});
            const auto got = line.ReadUntilQuiet(300ms, 2s);
            answered = got.size() == 1 && got[0] == 0x16;
        }
    }
    EXPECT_TRUE(answered);
    EXPECT_TRUE(server.Running());
    server.Kill();
    modem.Stop(SIGTERM, 10s);
}

}  // namespace
}  // namespace rs232::test
