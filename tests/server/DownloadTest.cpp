// RF over a pseudo-terminal: content, block numbering, error headers and interrupted transfers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

class Download : public ServerOnPty {
protected:
    // Plays a whole download with ACKs; returns the header's data and the content.
    std::pair<std::string, std::string> Fetch(const std::string& request, std::string& status) {
        auto done = Request("RF", 0, request);
        SReadBlock block = Reply();
        EXPECT_EQ(block.type, "SF");
        const std::string header = Text(block.data);
        std::string content;
        for (long expected = 1; block.valid && block.cnt >= 0; ++expected) {
            if ((block = Reply()).cnt == -1) {
                EXPECT_EQ(block.len, 0);
                break;
            }
            EXPECT_EQ(block.cnt, expected);
            EXPECT_TRUE(content.size() % 500 == 0 && block.len > 0 && block.len <= 500);
            content += Text(block.data);
        }
        status = done.get().status;
        return {header, content};
    }
};

TEST_F(Download, ContentAndBlockSequence) {
    std::string pattern, status;
    for (int i = 0; i < 50000; ++i) pattern.push_back(static_cast<char>(i * 7 + i / 251));
    server.SetLinkLimits(SLinkLimits{300ms, 300ms, 1000ms, 1ms});
    for (size_t size : {size_t{0}, size_t{500}, size_t{501}, pattern.size()}) {
        const std::string name = "f" + std::to_string(size) + ".bin";
        WriteFile(name, pattern.substr(0, size));
        const auto [header, content] = Fetch(name, status);
        EXPECT_EQ(content, pattern.substr(0, size));
        EXPECT_EQ(header, name + ";" + std::to_string(size));
        EXPECT_EQ(status, "File " + base / name + " transmitted to Client!");
    }
    // The header repeats the request as sent, up to a NUL; the file is found by its resolved name.
    ASSERT_EQ(mkdir((base / "in").c_str(), 0755), 0);
    WriteFile("in/x.txt", "hello");
    const auto [header, content] = Fetch(std::string("in\\x.txt\0junk", 13), status);
    EXPECT_EQ(header, "in\\x.txt;5");
    EXPECT_EQ(content, "hello");
}

TEST_F(Download, ErrorHeadersAndRefusals) {
    std::string status;
    EXPECT_EQ(Fetch("none.bin", status).first, "File not found");
    EXPECT_EQ(status, "Requested File " + base / "none.bin" + " not found");
    ASSERT_EQ(mkdir((base / "dir").c_str(), 0755), 0);
    EXPECT_EQ(Fetch("dir", status).first, "File Open Error");
    EXPECT_EQ(status, "Cannot open requested file " + base / "dir");
    EXPECT_EQ(Fetch(std::string(100, 'a'), status).first, "File Open Error");
    EXPECT_EQ(status, "Requested path too long (100 bytes), download refused");
    // One byte more than 999999 blocks of 500 bytes: the block counter would not fit its field.
    const int fd = open((base / "big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 499999501), 0);
    close(fd);
    EXPECT_EQ(Fetch("big.bin", status).first, "File Open Error");
    EXPECT_NE(status.find("too large to transmit (499999501 bytes"), std::string::npos);
    EXPECT_EQ(Quiet("RF", 1, "big.bin"), "Error: RF Block only with CNT 0 allowed");
}

TEST_F(Download, RetriesPumpAndBrokenTransfers) {
    WriteFile("a.bin", std::string(1600, 'z'));
    auto done = Request("RF", 0, "a.bin");
    Reply();
    const SReadBlock first = Reply(NAK);
    EXPECT_EQ(Reply().raw, first.raw);
    EXPECT_EQ(Reply().cnt, 2);
    EXPECT_EQ(Reply(EOT).cnt, 3);
    EXPECT_EQ(done.get().status, "Error -108 (Pos 2) while sending SF Block!");
    EXPECT_TRUE(pty.ReadUntilQuiet(200ms).empty());  // no end block

    server.SetLinkLimits(Limits(100ms));  // three unanswered sends of the header
    done = Request("RF", 0, "a.bin");
    for (int i = 0; i < 3; ++i) {
        SReadBlock header;
        EXPECT_TRUE(pty.ReadBlock(header));
        EXPECT_EQ(header.cnt, 0);
    }
    EXPECT_EQ(done.get().status, "Error -106 (Pos 1) while sending SF Block!");

    // Reading this process's memory at offset 0 fails: a real read error after the header.
    server.SetLinkLimits(Limits(1000ms));
    done = Request("RF", 0, "/proc/self/mem");
    EXPECT_EQ(Reply().cnt, 0);
    EXPECT_THROW(done.get(), CFileException);
    EXPECT_TRUE(pty.ReadUntilQuiet(200ms).empty());
    EXPECT_EQ(Exchange("DR", 0, "").second.result, 1);
}

}  // namespace
}  // namespace rs232::test
