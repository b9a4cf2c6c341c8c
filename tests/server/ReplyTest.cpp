// DR and IR over a pseudo-terminal: exact reply blocks, retries and refusals.
#include <fcntl.h>
#include <unistd.h>

#include "ServerFixture.h"

namespace rs232::test {
namespace {

TEST_F(ServerOnPty, DateTimeReply) {
    const std::string sent = "Actual date/time transmitted to Client!";
    SetClockForTest([] { return int64_t{1000000000}; });
    auto [dt, r] = Exchange("DR", 0, "ignored");
    EXPECT_EQ(Text(dt.raw), "\x02" "DT     0  101000000000d2e9551c\x03");
    EXPECT_EQ(r.status, sent);
    for (long cnt : {1L, -1L}) EXPECT_EQ(Quiet("DR", cnt, ""), "Error: DR Block only with CNT 0 allowed");
    // Clocks outside 1970..2038 go out as they are; past 2038 the operator is told.
    for (int64_t now : {int64_t{-5}, int64_t{4294967301}}) {
        SetClockForTest([now] { return now; });
        std::tie(dt, r) = Exchange("DR", 0, "");
        EXPECT_EQ(Text(dt.data), std::to_string(now));
        EXPECT_EQ(r.status, now < 0 ? sent : sent + " Clock 4294967301 is outside the 32-bit range");
    }
    // A reply answered with NAK goes out again; one never answered gives up.
    auto done = Request("DR", 0, "");
    const Bytes first = Reply(NAK).raw;
    EXPECT_EQ(Reply().raw, first);
    done.get();
    server.SetLinkLimits(Limits(100ms));
    std::string status;
    EXPECT_EQ(server.DRBlockReceived(0, nullptr, 0, status), kTimeout);
    EXPECT_EQ(status, "Error while sending DT Block!");
}

TEST_F(ServerOnPty, FileInfoReply) {
    WriteFile("a.txt", std::string(500, 'x'), 1000000000);
    auto [fi, r] = Exchange("IR", 0, base / "a.txt");
    EXPECT_EQ(Text(fi.raw), "\x02" "FI     0  16500;1000000000; f9a15e5c\x03");
    EXPECT_EQ(r.status, "File Info " + base / "a.txt" + " transmitted to Client!");
    std::tie(fi, r) = Exchange("IR", 0, base / "missing.txt");
    EXPECT_EQ(Text(fi.raw), "\x02" "FI    -1  14File not foundc6309965\x03");
    EXPECT_EQ(r.status, "Requested File " + base / "missing.txt" + " not found");
    EXPECT_EQ(Quiet("IR", 2, base / "a.txt"), "Error: IR Block only with CNT 0 allowed");
    WriteFile("ro.txt", "abc", 1000000000);
    chmod((base / "ro.txt").c_str(), 0444);
    EXPECT_EQ(Text(Exchange("IR", 0, base / "ro.txt").first.data), "3;1000000000;\x21");

    // 99 bytes is still a path; 100 bytes gets the not-found answer without a look-up.
    const std::string path99 = "/" + std::string(98, 'p');
    for (const std::string& path : {path99, path99 + "q"}) {
        std::tie(fi, r) = Exchange("IR", 0, path);
        EXPECT_EQ(Text(fi.data), "File not found");
        EXPECT_EQ(r.status, path.size() == 99 ? "Requested File " + path + " not found"
                                              : "Requested path too long (100 bytes)");
    }
    // 3 GiB, sparse: the size field holds what it can and the status text says so.
    const int fd = open((base / "huge.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_TRUE(fd >= 0 && ftruncate(fd, 3LL << 30) == 0);
    close(fd);
    std::tie(fi, r) = Exchange("IR", 0, base / "huge.bin");
    EXPECT_EQ(Text(fi.data).substr(0, 11), "2147483647;");
    EXPECT_NE(r.status.find("too large for the size field (3221225472 bytes)"), std::string::npos);
}

}  // namespace
}  // namespace rs232::test
