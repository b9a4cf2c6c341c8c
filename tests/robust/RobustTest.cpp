// The real server under faults: killed around the end of an upload, a noisy line.
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <filesystem>
#include <thread>

#include "link/Block.h"
#include "support/Line.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One block, sent again when no answer comes, as a client does: the server discards its input
// right after answering an ENQ, and a block that came in that instant is gone.
bool SendAcked(CPty& pty, const char* type, long cnt, const std::string& data) {
    for (int send = 0; send < 4; ++send) {
        pty.Send(MakeBlock(type, cnt, data));
        if (const Bytes answer = pty.Read(1, 3s); !answer.empty()) return answer == Bytes{ACK};
    }
    return false;
}

// Most of the upload is put into the server's temp file directly: at one block per tick, a file
// big enough for its finish to take measurable time would take minutes over the line.
TEST(Kill, DuringUploadFinishTargetIsOldOrNew) {
    const std::string old = Text(Pattern(3 << 20, 1)), fresh = Text(Pattern(8 << 20, 2));
    // Microseconds after the end block's ACK; -1 kills without waiting for the ACK.
    const int delays[] = {-1, 0, 500, 1000, 2000, 4000, 8000, 16000, 32000, 64000};
    CTempDir dir;
    CPty pty;
    const std::string base = dir / "base/", target = base + "target.bin";
    fs::create_directory(base);
    for (const int delay : delays) {
        SCOPED_TRACE("kill " + std::to_string(delay) + " us after the ACK");
        dir.WriteFile(target, old);
        CServer server(dir, pty.SlavePath(), {base});
        ASSERT_TRUE(server.Started()) << server.Err();
        ASSERT_TRUE(pty.Connect(2s));
        const size_t mark = server.Out().size();
        ASSERT_TRUE(SendAcked(pty, "FT", 0, "target.bin;" + std::to_string(fresh.size())));
        ASSERT_TRUE(server.WaitFor("Receiving File " + target + "...", 10s, mark));
        char temp[32];
        std::snprintf(temp, sizeof temp, "FT_TMP%2.2d.TMP", server.Port());
        dir.WriteFile(temp, fresh.substr(0, fresh.size() - 100));
        ASSERT_TRUE(SendAcked(pty, "FT", 1, fresh.substr(fresh.size() - 100)));

        pty.Send(MakeBlock("FT", -1, ""));
        if (delay >= 0) {
            ASSERT_EQ(pty.Read(1), Bytes{ACK});
            std::this_thread::sleep_for(std::chrono::microseconds(delay));
        }
        server.Stop(SIGKILL);
        const std::string now = ReadWholeFile(target);
        ASSERT_TRUE(now == old || now == fresh) << "target holds neither the old nor the new file";
        pty.ReadUntilQuiet(10ms);
    }

}

// The null-modem flips bits and drops bytes (seeded, so a run can be repeated), the client tool
// moves files of every size class both ways for a bounded time. A transfer the client reports as done must be
// byte-identical; a failed one ends with exit 1 or 2, a message and no local file; the server
// lives on and answers once the line is quiet.
TEST(Soak, NoisyLineNeverCorruptsSilently) {
    SLine line({"--baud", "0", "--seed", "20240611", "--ber", "0.00003", "--drop", "0.00003", "--burst", "0.00001"}, true);
    const std::string got = line.dir / "got";
    int done[2] = {}, failed[2] = {};
    const auto end = Clock::now() + 55s;
    for (unsigned i = 0; Clock::now() < end; ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        // Each size both ways in turn: empty (one data block without data), around one block,
        // and 40 blocks.
        const bool up = i % 2;
        const std::string content = Text(Pattern(std::array{0, 1, 499, 500, 501, 700, 20000}[i % 7], i));
        fs::remove(got);
        line.dir.WriteFile(up ? got : line.base + "down", content);
        const SRunResult r = line.Client(up ? std::vector<std::string>{"put", got, "up"} : std::vector<std::string>{"get", "down", got});
        EXPECT_TRUE(r.code == 0 || ((r.code == 1 || r.code == 2) && !r.err.empty())) << r.code;
        EXPECT_TRUE(r.code ? up || !fs::exists(got) : ReadWholeFile(up ? line.base + "up" : got) == content);
        ++(r.code == 0 ? done : failed)[up];
        ASSERT_TRUE(line.server->Running()) << line.server->Err();
    }
    std::printf("get %d/%d, put %d/%d done/failed\n", done[0], failed[0], done[1], failed[1]);
    EXPECT_GT(done[0] * done[1], 0);
    EXPECT_EQ(line.Client({"--retries", "20", "date"}).code, 0);  // still serving
}

}  // namespace
}  // namespace rs232::test
