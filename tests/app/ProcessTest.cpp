// The real executable, headless, from a private copy in each test's temp directory: its command
// line, start-up, serving and closing.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "link/Block.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

void Connect(CPty& pty) {
    pty.Send(ENQ);
    ASSERT_EQ(pty.Read(1), Bytes{SYN});
}

// The memory line's figures are the machine's: "(memory)" stands for a well-formed one.
std::vector<std::string> Masked(std::vector<std::string> lines) {
    static const std::regex memory(R"(Memory -> phys: [1-9][0-9]* kB avail: [0-9]+ kB load: [0-9]+%)");
    for (auto& line : lines)
        if (std::regex_match(line, memory)) line = "(memory)";
    return lines;
}

std::vector<std::string> From(const std::vector<std::string>& lines, const std::string& first) {
    return {std::find(lines.begin(), lines.end(), first), lines.end()};
}

TEST(CommandLine, RefusalsShowTheirTextAndCreateNothing) {
    const std::string kNoPort = "Please specify com port in command line !";
    const std::string kRange = "Only com port form 1 to 16 allowed !";
    const std::string kBlank = "Seperate cmd line parameters with blanks !";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, kNoPort},          {{""}, kNoPort},         {{"0"}, kRange},
        {{"17"}, kRange},       {{"17x"}, kRange},       {{"x3"}, kRange},
        {{"-1"}, kRange},       {{"03"}, kBlank},        {{"+5"}, kBlank},
        {{"123"}, kBlank},      {{"3D:\\srv\\"}, kBlank}, {{"12D:\\srv\\"}, kBlank},
        {{"3\tD:\\srv\\"}, kBlank},
        // The range test comes first, the blank test only looks at its one position.
        {{"17", "x"}, kRange},  {{"9x", "y"}, kBlank},
    };
    for (const auto& [args, text] : cases) {
        CTempDir dir;
        std::vector<std::string> argv{InstallServer(dir)};
        argv.insert(argv.end(), args.begin(), args.end());
        SCOPED_TRACE(testing::PrintToString(args));
        const SRunResult r = RunProgram(argv, 30s, dir.Path());
        EXPECT_EQ(r.code, 1);
        EXPECT_EQ(r.err, text + "\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(ListDir(dir.Path()), std::vector<std::string>{"rs232-server"});
    }
}

// Accepted command lines with existing settings files: the start-up lines in order on stdout and
// in the daily log file, the directories made, the settings file left untouched.
TEST(Startup, AcceptedCommandLinesLogTheirLinesInOrder) {
    struct SCase {
        std::vector<std::string> args;  // "<dir>" stands for the test directory
        std::string base;               // relative to the test directory
        std::string settings;           // %s: the pty
        int rate;
    };
    const std::vector<SCase> cases = {
        // Section and key names match regardless of case, as the profile functions do.
        {{"3"}, "", "[comport]\r\nbaudrate=9600\r\n[PORTS]\r\nCOM3=%s\r\n", 9600},
        // "3 ": nothing after the blank, the application path; another section only.
        {{"3", ""}, "", "; another section only\n[PORTS]\nCOM3 = %s\n", 57600},
        {{"12", "<dir>srv/"}, "srv/", "[PORTS]\nCOM12=%s\n", 57600},
        {{"16", "", "", "<dir>srv/"}, "srv/", "[PORTS]\nCOM16=%s\n", 57600},  // blanks skipped
    };
    for (const auto& c : cases) {
        CTempDir dir;
        CPty pty;
        const int port = std::stoi(c.args[0]);
        CPortLease lease(port);
        fs::create_directory(dir / "srv");
        std::string settings = c.settings;
        settings.replace(settings.find("%s"), 2, pty.SlavePath());
        std::vector<std::string> argv{InstallServer(dir, settings)};
        std::string commandLine;
        for (const auto& a : c.args) {
            argv.push_back(a.starts_with("<dir>") ? dir.Path() + a.substr(5) : a);
            commandLine += (argv.size() > 2 ? " " : "") + argv.back();
        }
        SCOPED_TRACE(">" + commandLine + "<");
        const std::string ini = dir / "rs232-server.ini", base = dir.Path() + c.base;
        fs::last_write_time(ini, fs::file_time_type::clock::now() - std::chrono::hours(2));
        const auto mtime = fs::last_write_time(ini);

        CChild server(argv, dir.Path());
        ASSERT_TRUE(server.WaitFor("Rs232 Server started ...\n")) << server.Err();
        EXPECT_EQ(server.Stop(SIGTERM), 0);

        const std::vector<std::string> expected = {
            "Command line is: >" + commandLine + "<", "Program (Version 01.00.00.00) started ...",
            "Application path is: " + dir.Path(), "Com port is: " + std::to_string(port),
            "Base path is: " + base, "Baudrate is: " + std::to_string(c.rate), "(memory)",
            "Rs232 Server started ...", "Server stopped !", "Program closed !"};
        EXPECT_EQ(Masked(server.Lines()), expected);
        // The first line is written before the log directory is known: it lands in the
        // date-named file of the working directory, the rest in the daily log file.
        EXPECT_EQ(Masked(LogLines(base + "LOG/", port)),
                  std::vector<std::string>(expected.begin() + 1, expected.end()));
        bool dated = false;
        for (const auto& name : ListDir(dir.Path()))
            dated |= std::regex_match(name, std::regex("20[0-9]{6}\\.LOG")) &&
                     dir.ReadFile(name).find(expected[0] + "\r\n") != std::string::npos;
        EXPECT_TRUE(dated);
        EXPECT_TRUE(fs::is_directory(base + "BAK"));
        EXPECT_EQ(dir.ReadFile(ini), settings);
        EXPECT_EQ(fs::last_write_time(ini), mtime);
    }
}

TEST(Startup, MissingSettingsFileIsCreatedAndUnusableDirectoriesEndTheProgram) {
    CTempDir dir;
    {
        // Without [PORTS] port 2 is /dev/ttyS1: whether it opens is the machine's business, so
        // start-up is followed only up to the first tick.
        CPortLease lease(2);
        CChild server({InstallServer(dir), "2"}, dir.Path());
        ASSERT_TRUE(server.WaitFor("Baudrate is: 57600\n")) << server.Out() << server.Err();
        server.Stop(SIGTERM);
        EXPECT_EQ(dir.ReadFile("rs232-server.ini"), "[COMPORT]\nBAUDRATE=57600\n");
        EXPECT_TRUE(fs::is_directory(dir / "BAK") && fs::is_directory(dir / "LOG"));
    }
    CPortLease lease(10);
    fs::remove(dir / "rs232-server.ini");
    dir.WriteFile("plain", "a file, not a directory");
    const std::string base = dir / "plain/";
    const SRunResult r = RunProgram({dir / "rs232-server", "10", base}, 30s, dir.Path());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Backup Dir Error\nLog Dir Error\n");
    // The window is gone after the first message: only the line before it was shown, and the
    // server was never started; start-up still finished its steps.
    EXPECT_EQ(WithoutStamp(r.out), "Command line is: >10 " + base + "<\n");
    EXPECT_TRUE(fs::exists(dir / "rs232-server.ini"));
}

TEST(CommandLine, OneInstancePerPortAndPortsSideBySide) {
    CTempDir firstDir, secondDir, otherDir;
    CPty firstPty, otherPty;
    CPortLease five(5), six(6);
    const std::string exe = InstallServer(secondDir);
    CChild first({InstallServer(firstDir, "[PORTS]\nCOM5=" + firstPty.SlavePath() + "\n"), "5"},
                 firstDir.Path());
    CChild other({InstallServer(otherDir, "[PORTS]\nCOM6=" + otherPty.SlavePath() + "\n"), "6"},
                 otherDir.Path());
    ASSERT_TRUE(first.WaitFor("Rs232 Server started ...\n")) << first.Err();
    ASSERT_TRUE(other.WaitFor("Rs232 Server started ...\n")) << other.Err();

    // A second start on port 5, even from another directory, is refused before it creates
    // anything; a malformed command line is refused by its own check first.
    SRunResult r = RunProgram({exe, "5", secondDir.Path()}, 30s, secondDir.Path());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Program already running on port 5 !\n");
    r = RunProgram({exe, "5x"}, 30s, secondDir.Path());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "Seperate cmd line parameters with blanks !\n");
    EXPECT_EQ(ListDir(secondDir.Path()), std::vector<std::string>{"rs232-server"});

    // The first instance still serves its line.
    Connect(firstPty);
    EXPECT_TRUE(first.WaitFor("Client connected\n"));
    EXPECT_EQ(first.Stop(SIGTERM), 0);
    EXPECT_EQ(other.Stop(SIGTERM), 0);

    // Once the first has ended, its port is free again; SIGINT closes as SIGTERM does.
    CChild again({firstDir / "rs232-server", "5"}, firstDir.Path());
    EXPECT_TRUE(again.WaitFor("Rs232 Server started ...\n")) << again.Err();
    EXPECT_EQ(again.Stop(SIGINT), 0);
    EXPECT_EQ(From(again.Lines(), "Server stopped !"),
              (std::vector<std::string>{"Server stopped !", "Program closed !"}));
}

// A file error inside a request ends only its tick; a served request's status text reaches the
// log; SIGTERM closes.
TEST(Run, FileErrorEndsOnlyItsTickAndSigtermClosesNormally) {
    CTempDir dir;
    CPty pty;
    fs::create_directory(dir / "folder");
    CServer server(dir, pty.SlavePath());
    ASSERT_TRUE(server.Started()) << server.Err();

    // Deleting a directory is refused by the file layer with an exception, told on stderr.
    pty.Send(MakeBlock("DF", 0, std::string("folder")));
    ASSERT_EQ(pty.Read(1), Bytes{ACK});
    ASSERT_TRUE(server.WaitForErr("folder")) << server.Err();
    Connect(pty);  // the next tick answers the line again
    ASSERT_TRUE(server.WaitFor("Client connected\n"));
    EXPECT_EQ(server.Stop(SIGTERM), 0);

    EXPECT_TRUE(fs::is_directory(dir / "folder"));
    const auto lines = server.Lines();
    // No status text was logged for the failed request.
    EXPECT_EQ(From(lines, "Rs232 Server started ..."),
              (std::vector<std::string>{"Rs232 Server started ...", "Client connected",
                                        "Server stopped !", "Program closed !"}));
    EXPECT_EQ(LogLines(dir / "LOG/", server.Port()),
              std::vector<std::string>(lines.begin() + 1, lines.end()));
}

TEST(Run, FailedStartClosesWithStatusOne) {
    CTempDir dir;
    CServer server(dir, dir / "no-such-device");
    EXPECT_EQ(server.Wait(), 1);
    EXPECT_EQ(From(server.Lines(), "Start Server Error -2"),
              (std::vector<std::string>{"Start Server Error -2",
                                        "Serial port " + dir / "no-such-device" +
                                            ": No such file or directory",
                                        "Program closed !"}));
    EXPECT_EQ(LogLines(dir / "LOG/", server.Port()).back(), "Program closed !");
}

TEST(Run, CloseDuringADownloadStopsItAtItsNextBlock) {
    CTempDir dir;
    CPty pty;
    dir.WriteFile("big.bin", std::string(20000, 'x'));
    CServer server(dir, pty.SlavePath());
    ASSERT_TRUE(server.Started()) << server.Err();
    Connect(pty);
    // The server discards what follows ENQ until its tick is over: the request comes after.
    ASSERT_TRUE(server.WaitFor("Client connected\n"));
    pty.Send(MakeBlock("RF", 0, std::string("big.bin")));
    ASSERT_EQ(pty.Read(1), Bytes{ACK});

    SReadBlock block;
    for (long expected = 0; expected <= 2; ++expected) {
        ASSERT_TRUE(pty.ReadBlock(block));
        ASSERT_EQ(block.cnt, expected);
        // The close command arrives while the server waits for the answer to block 2; the
        // download looks for it before its next block.
        if (expected == 2) server.Signal(SIGTERM);
        pty.Send(ACK);
    }
    EXPECT_EQ(server.Wait(), 0);
    bool ended = false;
    while (pty.ReadBlock(block, 300ms)) ended = ended || block.cnt == -1;
    EXPECT_FALSE(ended);

    // The list was gone by the time the download gave up; its status reached the file only.
    EXPECT_EQ(From(LogLines(dir / "LOG/", server.Port()), "Server stopped !"),
              (std::vector<std::string>{"Server stopped !", "Program closed !",
                                        "Error -105 (Pos 2) while sending SF Block!"}));
    EXPECT_EQ(server.Lines().back(), "Program closed !");
}

// The optional settings show in the start-up lines and take effect.
TEST(Run, OptionalAccessSettingsAreAnnouncedAndApplied) {
    CTempDir dir;
    CPty pty;
    fs::create_directory(dir / "pub");
    dir.WriteFile("pub/keep.txt", "keep");
    CServer server(dir, pty.SlavePath(), {},
                   "[ACCESS]\nROOT=" + dir.Path() + "pub\nREADONLY=1\n[COMPORT]\nBLOCKPAUSE=0\n");
    ASSERT_TRUE(server.Started()) << server.Err();
    for (const std::string& line : {"Access root is: " + fs::canonical(dir / "pub").string(),
                                   std::string("Read-only: FT, DF, CF and DL are refused"),
                                   std::string("Block pause is: 0 ms")})
        EXPECT_TRUE(Contains(server.Lines(), line)) << line;

    pty.Send(MakeBlock("DF", 0, "pub/keep.txt"));
    EXPECT_EQ(pty.Read(1), Bytes{ACK});
    EXPECT_TRUE(server.WaitFor("Error: DF Block refused, the server is read-only\n"));
    EXPECT_EQ(dir.ReadFile("pub/keep.txt"), "keep");
    EXPECT_EQ(server.Stop(SIGTERM), 0);
}

}  // namespace
}  // namespace rs232::test
