// The real server under faults: killed around the end of an upload, a full disk, a noisy line.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "link/Block.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool Connect(CPty& pty) {
    pty.Send(ENQ);
    return pty.Read(1, 2s) == Bytes{SYN};
}

// One block, sent again when no answer comes, as a client does: the server discards its input
// right after answering an ENQ, and a block that came in that instant is gone.
bool SendAcked(CPty& pty, const char* type, long cnt, const std::string& data) {
    for (int send = 0; send < 4; ++send) {
        pty.Send(MakeBlock(type, cnt, data));
        if (const Bytes answer = pty.Read(1, 3s); !answer.empty()) return answer == Bytes{ACK};
    }
    return false;
}

// Start block, data blocks of 500 bytes and end block, each acknowledged.
bool Upload(CPty& pty, const std::string& target, const std::string& content) {
    bool ok = Connect(pty) && SendAcked(pty, "FT", 0, target + ";" + std::to_string(content.size()));
    for (size_t at = 0; ok && at < content.size(); at += kMaxReplyData)
        ok = SendAcked(pty, "FT", static_cast<long>(at / kMaxReplyData + 1), content.substr(at, kMaxReplyData));
    return ok && SendAcked(pty, "FT", -1, "");
}

// Most of the upload is put into the server's temp file directly: at one block per tick, a file
// big enough for its finish to take measurable time would take minutes over the line.
TEST(Kill, DuringUploadFinishTargetIsOldOrNew) {
    const std::string old = Text(Pattern(3 << 20, 1)), fresh = Text(Pattern(8 << 20, 2));
    // Microseconds after the end block's ACK; -1 kills without waiting for the ACK.
    const int delays[] = {-1, 0, 500, 1000, 2000, 4000, 8000, 16000, 32000, 64000};
    int sawOld = 0, sawNew = 0;
    CTempDir dir;
    CPty pty;
    const std::string base = dir / "base/", target = base + "target.bin";
    fs::create_directory(base);
    for (const int delay : delays) {
        SCOPED_TRACE("kill " + std::to_string(delay) + " us after the ACK");
        dir.WriteFile(target, old);
        CServer server(dir, pty.SlavePath(), {base});
        ASSERT_TRUE(server.Started()) << server.Err();
        ASSERT_TRUE(Connect(pty));
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
        ++(now == old ? sawOld : sawNew);
        pty.ReadUntilQuiet(10ms);
    }
    std::printf("after %zu kills: old target %d times, new target %d times\n", std::size(delays), sawOld, sawNew);

    // Left alone, the same upload finishes, and the restarted server serves as before.
    dir.WriteFile(target, old);
    CServer server(dir, pty.SlavePath(), {base});
    ASSERT_TRUE(server.Started()) << server.Err();
    const std::string small = Text(Pattern(1234, 3));
    ASSERT_TRUE(Upload(pty, "target.bin", small));
    EXPECT_TRUE(server.WaitFor("Receiving and Copy and Rename (Backup) File " + target + " OK!", 10s));
    EXPECT_EQ(ReadWholeFile(target), small);
}

// A small tmpfs holds the server's working directory, base path, target and backups: whatever
// does not fit, the old target stays whole and the log says what went wrong. Needs root.
TEST(FullDisk, UploadThatDoesNotFitLeavesOldTargetWhole) {
    CTempDir dir;
    CPty pty;
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    const std::string base = dir / "disk/", target = base + "target.bin";
    fs::create_directory(base);
    if (mount("tmpfs", base.c_str(), "tmpfs", 0, "size=32k") != 0) GTEST_SKIP() << "mount refused";
    struct SUnmount {
        std::string dir;
        ~SUnmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{base};  // declared before the server: unmounted after it has stopped
    const std::string old = Text(Pattern(8000, 1));
    dir.WriteFile(target, old);
    CPortLease lease;
    const std::string port = std::to_string(lease.Port());
    CChild server({InstallServer(dir, "[PORTS]\nCOM" + port + "=" + pty.SlavePath() + "\n"), port,
                   base}, base);
    ASSERT_TRUE(server.WaitFor("Rs232 Server started ...\n")) << server.Err();

    // Not even the temp file fits: the writes fail (told to the operator on stderr), and the
    // end block finds the size short.
    size_t mark = server.Out().size();
    ASSERT_TRUE(Upload(pty, "target.bin", Text(Pattern(40000, 2))));
    EXPECT_TRUE(server.WaitFor("FTBlockReceived: Receiving File Size ERROR", 10s, mark))
        << server.Out().substr(mark);
    EXPECT_NE(server.Err(), "");
    EXPECT_EQ(ReadWholeFile(target), old);

    // The temp file fits, its copy over the target does not: the file is kept in the backup
    // directory and the log says the copy failed.
    mark = server.Out().size();
    const std::string fresh = Text(Pattern(14000, 3));
    ASSERT_TRUE(Upload(pty, "target.bin", fresh));
    EXPECT_TRUE(server.WaitFor(
        "Receiving and Rename (Backup) File " + target + " OK. Copy failed !!!", 10s, mark))
        << server.Out().substr(mark);
    EXPECT_EQ(ReadWholeFile(target), old);
    bool backedUp = false;
    for (const auto& name : ListDir(base + "BAK")) backedUp |= ReadWholeFile(base + "BAK/" + name) == fresh;
    EXPECT_TRUE(backedUp);
    EXPECT_TRUE(Connect(pty));  // still serving
}

// The null-modem flips bits and drops bytes (seeded, so a run can be repeated), the client tool
// runs requests of every size class for a bounded time. A transfer the client reports as done
// must be byte-identical; a failed one ends with exit 1 or 2, a message and no local file; the
// server lives on and answers once the line is quiet.
TEST(Soak, NoisyLineNeverCorruptsSilently) {
    CTempDir dir;
    const std::string base = dir / "base/", a = dir / "ttyA", b = dir / "ttyB", got = dir / "got";
    fs::create_directory(base);
    CChild modem({RS232_NULLMODEM_EXE, "--a", a, "--b", b, "--baud", "0", "--seed", "20240611",
                  "--ber", "0.00003", "--drop", "0.00003", "--burst", "0.00001"});
    ASSERT_TRUE(modem.WaitFor("ready", 10s)) << modem.Err();
    CServer server(dir, a, {base});
    ASSERT_TRUE(server.Started()) << server.Err();
    auto client = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {RS232_CLIENT_EXE, "--device", b, "--config", dir / "rs232-server.ini"});
        const SRunResult r = RunProgram(args, 40s);
        EXPECT_TRUE(r.code == 0 || ((r.code == 1 || r.code == 2) && !r.err.empty())) << r.code;
        return r;
    };
    // Small files mostly, every few requests one of 20000 bytes (40 blocks).
    auto size = [](unsigned i) { return i % 7 == 6 ? 20000u : 1 + (i * 37) % 700; };
    for (unsigned k = 0; k < 7; ++k) dir.WriteFile(base + "s" + std::to_string(k), Text(Pattern(size(k), k)));

    int done[3] = {}, failed[3] = {};
    const auto end = Clock::now() + 55s;
    for (unsigned i = 0; Clock::now() < end; ++i) {
        SCOPED_TRACE("request " + std::to_string(i));
        const int kind = static_cast<int>(i % 3);
        const std::string remote = "s" + std::to_string(i % 7), put = "p" + std::to_string(i % 5);
        SRunResult r;
        if (kind == 0) {
            r = client({"info", remote});
            EXPECT_TRUE(r.code || r.out.find(std::to_string(fs::file_size(base + remote))) != std::string::npos) << r.out;
        } else if (kind == 1) {
            fs::remove(got);
            r = client({"get", remote, got});
            EXPECT_EQ(fs::exists(got), r.code == 0);
            EXPECT_TRUE(r.code || ReadWholeFile(got) == ReadWholeFile(base + remote)) << remote;
        } else {
            const std::string content = Text(Pattern(size(i / 3), 1000 + i));
            dir.WriteFile("put", content);
            r = client({"put", dir / "put", put});
            EXPECT_TRUE(r.code || ReadWholeFile(base + put) == content) << put;
        }
        ++(r.code == 0 ? done : failed)[kind];
        ASSERT_TRUE(server.Running()) << server.Err();
    }
    std::printf("info %d/%d, get %d/%d, put %d/%d done/failed\n", done[0], failed[0], done[1],
                failed[1], done[2], failed[2]);
    for (int kind = 0; kind < 3; ++kind) EXPECT_GT(done[kind], 0) << "request kind " << kind;

    // Still serving (the line is still noisy, so a few tries).
    EXPECT_EQ(client({"--retries", "20", "date"}).code, 0);
}

}  // namespace
}  // namespace rs232::test
