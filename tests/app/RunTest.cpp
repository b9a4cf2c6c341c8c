// The real executable serving its line and closing: served requests reach the log, SIGTERM is
// the close command (also in the middle of a download), a failed start ends the program, and a
// file error inside a request ends only that tick.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>

#include "ServerProcess.h"
#include "link/Block.h"
#include "support/Pty.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

struct SServedDir {
    CTempDir dir;
    CPty pty;
    explicit SServedDir(int port) {
        InstallServer(dir);
        dir.WriteFile("rs232-server.ini",
                      "[PORTS]\nCOM" + std::to_string(port) + "=" + pty.SlavePath() + "\n");
    }
};

void Connect(CPty& pty) {
    pty.Send(ENQ);
    ASSERT_EQ(pty.Read(1), Bytes{SYN});
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), text) - lines.begin());
}

TEST(Run, ServedStatusIsLoggedAndSigtermClosesNormally) {
    SServedDir s(11);
    CServerProcess server(s.dir, {"11"});
    ASSERT_TRUE(server.WaitForLine("Rs232 Server started ...")) << server.Stderr();
    Connect(s.pty);
    ASSERT_TRUE(server.WaitForLine("Client connected"));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(), 0);

    const auto lines = server.Lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Client connected", "Server stopped !", "Program closed !"}));
    EXPECT_EQ(LogLines(s.dir / "LOG/", 11), std::vector<std::string>(lines.begin() + 1, lines.end()));
    EXPECT_EQ(server.Stderr(), "");
}

TEST(Run, FailedStartClosesWithStatusOne) {
    CTempDir dir;
    InstallServer(dir);
    dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM13=" + dir.Path() + "no-such-device\n");
    CServerProcess server(dir, {"13"});
    EXPECT_EQ(server.WaitExit(), 1);
    const auto lines = server.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "Start Server Error -2");
    EXPECT_EQ(lines.back(), "Program closed !");
    EXPECT_EQ(IndexOf(lines, "Server stopped !"), lines.size());
    EXPECT_EQ(LogLines(dir / "LOG/", 13).back(), "Program closed !");
}

TEST(Run, CloseDuringADownloadStopsItAtItsNextBlock) {
    SServedDir s(14);
    s.dir.WriteFile("big.bin", std::string(20000, 'x'));
    CServerProcess server(s.dir, {"14"});
    ASSERT_TRUE(server.WaitForLine("Rs232 Server started ...")) << server.Stderr();
    Connect(s.pty);
    // The server discards what follows ENQ until its tick is over: the request comes after.
    ASSERT_TRUE(server.WaitForLine("Client connected"));
    s.pty.Send(MakeBlock("RF", 0, std::string("big.bin")));
    ASSERT_EQ(s.pty.Read(1), Bytes{ACK});

    SReadBlock block;
    for (long expected = 0; expected <= 2; ++expected) {
        ASSERT_TRUE(s.pty.ReadBlock(block));
        ASSERT_EQ(block.cnt, expected);
        // The close command arrives while the server waits for the answer to block 2; the
        // download looks for it before its next block.
        if (expected == 2) server.Signal(SIGTERM);
        s.pty.Send(ACK);
    }
    EXPECT_EQ(server.WaitExit(), 0);
    bool ended = false;
    while (s.pty.ReadBlock(block, 300ms)) ended = ended || block.cnt == -1;
    EXPECT_FALSE(ended);

    // The list was gone by the time the download gave up; its status reached the file only.
    const auto logLines = LogLines(s.dir / "LOG/", 14);
    const size_t closed = IndexOf(logLines, "Program closed !");
    ASSERT_LT(closed, logLines.size());
    EXPECT_EQ(logLines[closed - 1], "Server stopped !");
    EXPECT_EQ(std::vector<std::string>(logLines.begin() + closed + 1, logLines.end()),
              std::vector<std::string>{"Error -105 (Pos 2) while sending SF Block!"});
    EXPECT_EQ(server.Lines().back(), "Program closed !");
}

TEST(Run, FileErrorEndsOnlyItsTick) {
    SServedDir s(15);
    fs::create_directory(s.dir / "folder");
    CServerProcess server(s.dir, {"15"});
    ASSERT_TRUE(server.WaitForLine("Rs232 Server started ...")) << server.Stderr();

    // Deleting a directory is refused by the file layer with an exception.
    s.pty.Send(MakeBlock("DF", 0, std::string("folder")));
    ASSERT_EQ(s.pty.Read(1), Bytes{ACK});
    ASSERT_TRUE(server.WaitForError("folder")) << server.Stderr();

    // The server goes on: the next tick answers the line again.
    Connect(s.pty);
    ASSERT_TRUE(server.WaitForLine("Client connected"));
    server.Signal(SIGINT);
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_TRUE(fs::is_directory(s.dir / "folder"));
    // No status text was logged for the failed request.
    const auto lines = server.Lines();
    const size_t started = IndexOf(lines, "Rs232 Server started ...");
    ASSERT_LT(started + 1, lines.size());
    EXPECT_EQ(lines[started + 1], "Client connected");
}

// The optional settings show in the start-up lines and take effect.
TEST(Run, OptionalAccessSettingsAreAnnouncedAndApplied) {
    SServedDir s(9);
    fs::create_directory(s.dir / "pub");
    s.dir.WriteFile("pub/keep.txt", "keep");
    s.dir.WriteFile("rs232-server.ini", "[PORTS]\nCOM9=" + s.pty.SlavePath() +
                                            "\n[ACCESS]\nROOT=" + s.dir.Path() +
                                            "pub\nREADONLY=1\n[COMPORT]\nBLOCKPAUSE=0\n");
    CServerProcess server(s.dir, {"9"});
    ASSERT_TRUE(server.WaitForLine("Rs232 Server started ...")) << server.Stderr();
    for (const std::string& line : {"Access root is: " + fs::canonical(s.dir / "pub").string(),
                                   std::string("Read-only: FT, DF, CF and DL are refused"),
                                   std::string("Block pause is: 0 ms")})
        EXPECT_NE(IndexOf(server.Lines(), line), server.Lines().size()) << line;

    s.pty.Send(MakeBlock("DF", 0, "pub/keep.txt"));
    EXPECT_EQ(s.pty.Read(1), Bytes{ACK});
    EXPECT_TRUE(server.WaitForLine("Error: DF Block refused, the server is read-only"));
    EXPECT_EQ(ReadWholeFile(s.dir / "pub/keep.txt"), "keep");
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitExit(), 0);
}

}  // namespace
}  // namespace rs232::test
