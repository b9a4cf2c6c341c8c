// DR and IR over a pseudo-terminal: exact reply blocks, retries and refusals.
#include <fcntl.h>
#include <unistd.h>

#include "ServerFixture.h"

namespace rs232::test {
namespace {

std::string Text(const Bytes& b) { return std::string(b.begin(), b.end()); }

TEST_F(ServerOnPty, DateTimeReplyIsExactAndRefusesOtherCnt) {
    SetClockForTest([] { return int64_t{1000000000}; });
    auto done = Request("DR", 0, "ignored");
    EXPECT_EQ(Reply().raw, FromHex("02 44 54 20 20 20 20 20 30 20 20 31 30 31 30 30 30 30 30 30 "
                                   "30 30 30 64 32 65 39 35 35 31 63 03"));
    EXPECT_EQ(done.get().status, "Actual date/time transmitted to Client!");

    EXPECT_EQ(Quiet("DR", 1, ""), "Error: DR Block only with CNT 0 allowed");
    EXPECT_EQ(Quiet("DR", -1, ""), "Error: DR Block only with CNT 0 allowed");

    SetClockForTest([] { return int64_t{-5}; });
    done = Request("DR", 0, "");
    EXPECT_EQ(Text(Reply().data), "-5");
    done.get();

    // Past January 2038 the true value goes out, and the operator is told.
    SetClockForTest([] { return int64_t{4294967301}; });
    done = Request("DR", 0, "");
    EXPECT_EQ(Text(Reply().data), "4294967301");
    EXPECT_NE(done.get().status.find("outside the 32-bit range"), std::string::npos);
}

TEST_F(ServerOnPty, DateTimeReplyIsRepeatedAfterNakAndGivesUpUnanswered) {
    auto done = Request("DR", 0, "");
    const SReadBlock first = Reply(NAK);
    EXPECT_EQ(Reply().raw, first.raw);
    EXPECT_EQ(done.get().status, "Actual date/time transmitted to Client!");

    SLinkLimits limits;
    limits.answer = 100ms;
    server.SetLinkLimits(limits);
    auto direct = std::async(std::launch::async, [this] {
        SPollResult r;
        r.result = server.DRBlockReceived(0, nullptr, 0, r.status);
        return r;
    });
    const SPollResult r = direct.get();
    EXPECT_EQ(r.result, kTimeout);
    EXPECT_EQ(r.status, "Error while sending DT Block!");
}

TEST_F(ServerOnPty, FileInfoExampleBlocks) {
    WriteFile("a.txt", std::string(500, 'x'), 1000000000);
    auto done = Request("IR", 0, base / "a.txt");
    EXPECT_EQ(Reply().raw, FromHex("02 46 49 20 20 20 20 20 30 20 20 31 36 35 30 30 3B 31 30 30 "
                                   "30 30 30 30 30 30 30 3B 20 66 39 61 31 35 65 35 63 03"));
    EXPECT_EQ(done.get().status, "File Info " + base / "a.txt" + " transmitted to Client!");

    done = Request("IR", 0, base / "missing.txt");
    EXPECT_EQ(Reply().raw, FromHex("02 46 49 20 20 20 20 2D 31 20 20 31 34 46 69 6C 65 20 6E 6F "
                                   "74 20 66 6F 75 6E 64 63 36 33 30 39 39 36 35 03"));
    EXPECT_EQ(done.get().status, "Requested File " + base / "missing.txt" + " not found");
    EXPECT_EQ(Quiet("IR", 2, base / "a.txt"), "Error: IR Block only with CNT 0 allowed");
}

TEST_F(ServerOnPty, FileInfoAttributesPathsAndLimits) {
    WriteFile("ro.txt", "abc", 1000000000);
    chmod((base / "ro.txt").c_str(), 0444);
    auto done = Request("IR", 0, base / "ro.txt");
    EXPECT_EQ(Text(Reply().data), "3;1000000000;\x21");
    done.get();

    ASSERT_EQ(mkdir((base / "dir").c_str(), 0755), 0);
    done = Request("IR", 0, base / "dir");
    EXPECT_EQ(Reply().data.back(), 0x10);
    done.get();

    // A base path without a final separator runs into the request path.
    WriteFile("subfile.txt", "12345", 1000000000);
    server.SetBasePath(base / "sub");
    done = Request("IR", 0, "file.txt");
    EXPECT_EQ(Text(Reply().data), "5;1000000000; ");
    EXPECT_EQ(done.get().status, "File Info " + base / "subfile.txt" + " transmitted to Client!");

    // 99 bytes is still a path; 100 bytes gets the not-found answer without a look-up.
    const std::string path99 = "/" + std::string(98, 'p');
    done = Request("IR", 0, path99);
    EXPECT_EQ(Reply().cnt, -1);
    EXPECT_EQ(done.get().status, "Requested File " + path99 + " not found");
    done = Request("IR", 0, path99 + "q");
    const SReadBlock tooLong = Reply();
    EXPECT_EQ(tooLong.cnt, -1);
    EXPECT_EQ(Text(tooLong.data), "File not found");
    EXPECT_EQ(done.get().status, "Requested path too long (100 bytes)");

    // 3 GiB, sparse: the size field holds what it can and the status text says so.
    const int fd = open((base / "huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 3LL << 30), 0);
    close(fd);
    done = Request("IR", 0, base / "huge.bin");
    EXPECT_EQ(Text(Reply().data).substr(0, 11), "2147483647;");
    EXPECT_NE(done.get().status.find("too large for the size field (3221225472 bytes)"),
              std::string::npos);
}

}  // namespace
}  // namespace rs232::test
