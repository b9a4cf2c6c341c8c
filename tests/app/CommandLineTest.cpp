// Start-up checks of the real executable: refusals, accepted forms, one instance per port.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "ServerProcess.h"
#include "link/Block.h"
#include "support/Pty.h"

namespace rs232::test {
namespace {

// A settings file that maps the port to a pseudo-terminal.
void MapPort(const CTempDir& dir, int port, const CPty& pty) {
    InstallServer(dir);
    dir.WriteFile("rs232-server.ini",
                  "[PORTS]\nCOM" + std::to_string(port) + "=" + pty.SlavePath() + "\n");
}

TEST(CommandLine, RefusalsShowTheirTextAndCreateNothing) {
    const std::string kNoPort = "Please specify com port in command line !";
    const std::string kRange = "Only com port form 1 to 16 allowed !";
    const std::string kBlank = "Seperate cmd line parameters with blanks !";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, kNoPort},
        {{""}, kNoPort},
        {{"0"}, kRange},
        {{"17"}, kRange},
        {{"17x"}, kRange},
        {{"x3"}, kRange},
        {{"-1"}, kRange},
        {{"03"}, kBlank},
        {{"+5"}, kBlank},
        {{"123"}, kBlank},
        {{"3D:\\srv\\"}, kBlank},
        {{"12D:\\srv\\"}, kBlank},
        {{"3\tD:\\srv\\"}, kBlank},
        // The range test comes first, the blank test only looks at its one position.
        {{"17", "x"}, kRange},
        {{"9x", "y"}, kBlank},
    };
    for (const auto& [args, text] : cases) {
        std::string joined;
        for (const auto& a : args) joined += "[" + a + "]";
        SCOPED_TRACE("arguments " + joined);
        CTempDir dir;
        InstallServer(dir);
        std::string out, err;
        EXPECT_EQ(RunServer(dir, args, &out, &err), 1);
        EXPECT_EQ(err, text + "\n");
        EXPECT_EQ(out, "");
        EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"rs232-server"});
    }
}

TEST(CommandLine, AcceptedFormsOpenTheWindowWithTheirPortAndBasePath) {
    struct SCase {
        std::vector<std::string> args;  // "<dir>" stands for the test directory
        int port;
        std::string basePath;           // relative to the test directory
    };
    const std::vector<SCase> cases = {
        {{"3"}, 3, ""},
        {{"3", ""}, 3, ""},          // "3 ": nothing after the blank, the application path
        {{"3", "<dir>srv/"}, 3, "srv/"},
        {{"12"}, 12, ""},
        {{"16", "", "", "<dir>srv/"}, 16, "srv/"},  // further blanks before the path are skipped
    };
    for (const auto& c : cases) {
        CTempDir dir;
        CPty pty;
        std::filesystem::create_directory(dir / "srv");
        MapPort(dir, c.port, pty);
        std::vector<std::string> args;
        for (auto a : c.args) args.push_back(a.starts_with("<dir>") ? dir.Path() + a.substr(5) : a);
        SCOPED_TRACE("port " + std::to_string(c.port) + " base " + c.basePath);

        CServerProcess server(dir, args);
        ASSERT_TRUE(server.WaitForLine("Rs232 Server started ...")) << server.Stdout() << server.Stderr();
        EXPECT_TRUE(server.WaitForLine("Com port is: " + std::to_string(c.port), 0ms));
        EXPECT_TRUE(server.WaitForLine("Base path is: " + dir.Path() + c.basePath, 0ms));
        EXPECT_TRUE(std::filesystem::is_directory(dir / (c.basePath + "LOG")));
        server.Signal(SIGTERM);
        EXPECT_EQ(server.WaitExit(), 0);
    }
}

TEST(CommandLine, OneInstancePerPortAndPortsSideBySide) {
    CTempDir firstDir, secondDir, otherDir;
    CPty firstPty, otherPty;
    MapPort(firstDir, 5, firstPty);
    MapPort(otherDir, 6, otherPty);
    InstallServer(secondDir);

    CServerProcess first(firstDir, {"5"});
    ASSERT_TRUE(first.WaitForLine("Rs232 Server started ...")) << first.Stderr();
    CServerProcess other(otherDir, {"6"});
    ASSERT_TRUE(other.WaitForLine("Rs232 Server started ...")) << other.Stderr();

    // A second start on port 5, even from another directory, is refused before it creates
    // anything; a malformed command line is refused by its own check first.
    std::string err;
    EXPECT_EQ(RunServer(secondDir, {"5", secondDir.Path()}, nullptr, &err), 1);
    EXPECT_EQ(err, "Program already running on port 5 !\n");
    EXPECT_EQ(RunServer(secondDir, {"5x"}, nullptr, &err), 1);
    EXPECT_EQ(err, "Seperate cmd line parameters with blanks !\n");
    EXPECT_EQ(ListDir(secondDir.Path()), std::vector<std::string>{"rs232-server"});

    // The first instance still serves its line.
    firstPty.Send(ENQ);
    EXPECT_EQ(firstPty.Read(1), Bytes{SYN});
    EXPECT_TRUE(first.WaitForLine("Client connected"));

    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitExit(), 0);
    other.Signal(SIGTERM);
    EXPECT_EQ(other.WaitExit(), 0);

    // Once the first has ended, its port is free again.
    CServerProcess again(firstDir, {"5"});
    EXPECT_TRUE(again.WaitForLine("Rs232 Server started ...")) << again.Stderr();
    again.Signal(SIGINT);
    EXPECT_EQ(again.WaitExit(), 0);
}

}  // namespace
}  // namespace rs232::test
