// RF over a pseudo-terminal: content, block numbering, error headers and interrupted transfers.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

class Download : public ServerOnPty {
protected:
    // Plays a whole download with ACKs: the header's data and the content blocks' bytes.
    std::string Fetch(const std::string& request, std::string& header, std::string& status) {
        auto done = Request("RF", 0, request);
        SReadBlock block = Reply();
        EXPECT_EQ(block.type, "SF");
        header.assign(block.data.begin(), block.data.end());
        std::string content;
        if (block.cnt == 0) {
            for (long expected = 1;; ++expected) {
                block = Reply();
                if (block.cnt == -1) break;
                EXPECT_EQ(block.cnt, expected);
                EXPECT_TRUE(block.len > 0 && block.len <= 500);
                EXPECT_TRUE(content.size() % 500 == 0);  // only the last block is short
                content.append(block.data.begin(), block.data.end());
            }
            EXPECT_EQ(block.len, 0);
        }
        status = done.get().status;
        return content;
    }
};

TEST_F(Download, ContentAndBlockSequence) {
    std::string pattern;
    for (int i = 0; i < 50000; ++i) pattern.push_back(static_cast<char>(i * 7 + i / 251));
    std::string header, status;
    for (size_t size : {size_t{0}, size_t{500}, size_t{501}, pattern.size()}) {
        if (size == pattern.size()) {
            SLinkLimits fast;
            fast.blockPause = 1ms;
            server.SetLinkLimits(fast);
        }
        const std::string name = "f" + std::to_string(size) + ".bin";
        WriteFile(name, pattern.substr(0, size));
        EXPECT_EQ(Fetch(name, header, status), pattern.substr(0, size));
        EXPECT_EQ(header, name + ";" + std::to_string(size));
        EXPECT_EQ(status, "File " + base / name + " transmitted to Client!");
    }
    // The header repeats the request as sent, up to a NUL, while the file is found by its
    // resolved name.
    ASSERT_EQ(mkdir((base / "in").c_str(), 0755), 0);
    WriteFile("in/x.txt", "hello");
    EXPECT_EQ(Fetch(std::string("in\\x.txt\0junk", 13), header, status), "hello");
    EXPECT_EQ(header, "in\\x.txt;5");
}

TEST_F(Download, ErrorHeadersAndRefusals) {
    std::string header, status;
    EXPECT_EQ(Fetch("none.bin", header, status), "");
    EXPECT_EQ(header, "File not found");
    EXPECT_EQ(status, "Requested File " + base / "none.bin" + " not found");

    ASSERT_EQ(mkdir((base / "dir").c_str(), 0755), 0);
    Fetch("dir", header, status);
    EXPECT_EQ(header, "File Open Error");
    EXPECT_EQ(status, "Cannot open requested file " + base / "dir");

    Fetch(std::string(100, 'a'), header, status);
    EXPECT_EQ(header, "File Open Error");
    EXPECT_EQ(status, "Requested path too long (100 bytes), download refused");

    // One byte more than 999999 blocks of 500 bytes: the block counter would not fit its field.
    const int fd = open((base / "big.bin").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 499999501), 0);
    close(fd);
    Fetch("big.bin", header, status);
    EXPECT_EQ(header, "File Open Error");
    EXPECT_NE(status.find("too large to transmit (499999501 bytes"), std::string::npos);

    WriteFile("a.bin", "abc");
    EXPECT_EQ(Quiet("RF", 1, "a.bin"), "Error: RF Block only with CNT 0 allowed");
}

TEST_F(Download, RetriesPumpAndBrokenTransfers) {
    std::atomic<int> pumped{0};
    server.SetMessagePump([&] { ++pumped; });
    WriteFile("a.bin", std::string(1600, 'z'));
    auto done = Request("RF", 0, "a.bin");
    Reply();
    const SReadBlock first = Reply(NAK);
    EXPECT_EQ(pumped.load(), 1);
    EXPECT_EQ(Reply().raw, first.raw);  // the same block again, not pumped again
    EXPECT_EQ(Reply().cnt, 2);
    EXPECT_EQ(pumped.load(), 2);
    EXPECT_EQ(Reply(EOT).cnt, 3);
    EXPECT_EQ(done.get().status, "Error -108 (Pos 2) while sending SF Block!");
    EXPECT_TRUE(pty.ReadUntilQuiet(200ms).empty());  // no end block

    // The real answer limit: three unanswered sends of the header.
    server.SetLinkLimits(SLinkLimits{});
    done = Request("RF", 0, "a.bin");
    for (int i = 0; i < 3; ++i) {
        SReadBlock header;
        EXPECT_TRUE(pty.ReadBlock(header));
        EXPECT_EQ(header.cnt, 0);
    }
    EXPECT_EQ(done.get().status, "Error -106 (Pos 1) while sending SF Block!");
}

TEST_F(Download, ReadErrorLeavesTheHandler) {
    // Reading this process's memory at offset 0 fails: a real read error after the header.
    auto done = Request("RF", 0, "/proc/self/mem");
    EXPECT_EQ(Reply().cnt, 0);
    EXPECT_THROW(done.get(), CFileException);
    EXPECT_TRUE(pty.ReadUntilQuiet(200ms).empty());
    done = Request("DR", 0, "");
    EXPECT_EQ(Reply().type, "DT");
    EXPECT_EQ(done.get().status, "Actual date/time transmitted to Client!");
}

}  // namespace
}  // namespace rs232::test
