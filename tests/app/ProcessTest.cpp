// The command line and serving on arrival in-process, and the real executable, headless, from a
// private copy in each test's temp directory: start-up, serving and closing.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <regex>

#include "app/CommandLine.h"
#include "app/ConsoleView.h"
#include "app/ServerDlg.h"
#include "link/Block.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

namespace fs = std::filesystem;

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

TEST(CommandLine, RefusalsPortFieldAndBasePath) {
    const std::string kNoPort = "Please specify com port in command line !", kRange = "Only com port form 1 to 99 allowed !",
                      kBlank = "Seperate cmd line parameters with blanks !";
    // The range test comes first, the blank test only looks at its one position.
    const std::pair<const char*, std::string> refused[] = {
        {"", kNoPort},  {"0", kRange},   {"100", kRange}, {"123x", kRange},       {"x3", kRange},
        {"-1", kRange}, {"100 x", kRange}, {"03", kBlank}, {"+5", kBlank},        {"42x", kBlank},
        {"3D:\\srv\\", kBlank}, {"12D:\\srv\\", kBlank}, {"3\tD:\\srv\\", kBlank}, {"9x y", kBlank}};
    for (const auto& [line, text] : refused) EXPECT_EQ(CheckCommandLine(line), text) << line;
    const std::tuple<const char*, int, const char*> accepted[] = {
        {"3", 3, "/app/"}, {"3 ", 3, "/app/"}, {"12 /srv/", 12, "/srv/"}, {"16   /srv/", 16, "/srv/"}, {"99", 99, "/app/"}};
    for (const auto& [line, port, base] : accepted) {
        EXPECT_EQ(CheckCommandLine(line), std::nullopt) << line;
        EXPECT_EQ(ReadPortField(line), port) << line;
        EXPECT_EQ(BasePathFrom(line, port, "/app/"), base) << line;
    }
}

// One start-up per row: the lines in order on stdout and in the daily log file, the directories
// made, the settings file read and left untouched.
TEST(Startup, CommandLinesAndSettings) {
    const struct {
        std::vector<std::string> args;  // "<dir>" stands for the test directory
        std::string base, settings;     // base relative to the test directory; %s: the pty
        int rate;
        std::vector<std::string> extra = {};
    } cases[] = {
        // Section and key names match regardless of case; <port>: a free port.
        {{"<port>"}, "", "[comport]\r\nbaudrate=9600\r\n[PORTS]\r\nCOM<port>=%s\r\n", 9600},
        {{"<port>", "", "<dir>srv/"}, "srv/", "; another section only\n[PORTS]\nCOM<port> = %s\n", 57600},
        {{"<port>"}, "", "[PORTS]\nCOM<port>=%s\n[ACCESS]\nROOT=<dir>srv\nREADONLY=1\n[COMPORT]\nBLOCKPAUSE=0\n[DRIVES]\nc=/c\nDEFAULT=d\n[PATHS]\nIGNORECASE=1\n", 57600,
         {"Access root is: <root>", "Read-only: FT, DF, CF and DL are refused", "Drive C: is /c", "Default drive is: D:", "Letter case of request paths: ignored", "Block pause is: 0 ms"}},
    };
    for (const auto& c : cases) {
        CTempDir dir;
        CPty pty;
        CPortLease lease;
        const int port = lease.Port();
        fs::create_directory(dir / "srv");
        auto fill = [&](std::string s) {
            for (const auto& [key, value] : std::map<std::string, std::string>{
                     {"%s", pty.SlavePath()}, {"<port>", std::to_string(port)}, {"<dir>", dir.Path()}, {"<root>", fs::canonical(dir / "srv")}})
                for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
            return s;
        };
        const std::string settings = fill(c.settings);
        std::vector<std::string> args;
        std::string commandLine;
        for (const auto& a : c.args) {
            args.push_back(fill(a));
            commandLine += (args.size() > 1 ? " " : "") + args.back();
        }
        InstallServer(dir, settings);
        SCOPED_TRACE(">" + commandLine + "<");
        const std::string ini = dir / "rs232-server.ini", base = dir.Path() + c.base;
        fs::last_write_time(ini, fs::file_time_type::clock::now() - std::chrono::hours(2));
        const auto mtime = fs::last_write_time(ini);

        CServer server(dir, port, {args});
        ASSERT_TRUE(server.WaitFor("Rs232 Server started ...\n")) << server.Err();
        EXPECT_EQ(server.Stop(SIGTERM), 0);
        std::vector<std::string> expected = {
            "Command line is: >" + commandLine + "<", "Program (Version 01.00.00.00) started ...",
            "Application path is: " + dir.Path(), "Com port is: " + fill("<port>"),
            "Base path is: " + base, "Baudrate is: " + std::to_string(c.rate)};
        for (const auto& line : c.extra) expected.push_back(fill(line));
        expected.insert(expected.end(), {"(memory)", "Rs232 Server started ...", fill("Device is: %s"), "Server stopped !", "Program closed !"});
        EXPECT_EQ(Masked(server.Lines()), expected);
        // The first line is written before the log directory is known: it lands in the
        // date-named file of the working directory, the rest in the daily log file.
        EXPECT_EQ(Masked(LogLines(base + "LOG/", port)), std::vector<std::string>(expected.begin() + 1, expected.end()));
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

TEST(Startup, RefusalsCreateNothingAndUnusableDirectoriesEndTheProgram) {
    CTempDir dir, other;
    CPortLease lease;
    const std::string port = std::to_string(lease.Port());
    CServer refused(other, lease.Port(), {{"03"}});
    EXPECT_EQ(refused.Wait(), 1);
    EXPECT_EQ(refused.Err(), "Seperate cmd line parameters with blanks !\n");
    EXPECT_EQ(refused.Out(), "");
    EXPECT_EQ(ListDir(other.Path()), std::vector<std::string>{"rs232-server"});

    dir.WriteFile("plain", "a file, not a directory");
    const std::string base = dir / "plain/";
    CServer dirError(dir, lease.Port(), {{port, base}});
    EXPECT_EQ(dirError.Wait(), 1);
    EXPECT_EQ(dirError.Err(), "Backup Dir Error\nLog Dir Error\n");
    // The window is gone after the first message: only the line before it was shown, and the
    // server was never started; start-up still finished its steps and made the settings file.
    EXPECT_EQ(WithoutStamp(dirError.Out()), "Command line is: >" + port + " " + base + "<\n");
    EXPECT_EQ(dir.ReadFile("rs232-server.ini"), "[COMPORT]\nBAUDRATE=57600\n");

    // Settings that cannot be taken as they are stop the start with the reason.
    const std::string com = "[PORTS]\nCOM" + port + "=", range = " is not a whole number from 1 to 65535";
    const std::pair<std::string, std::string> stops[] = {
        {com + "tcp://127.0.0.1:0\n", "port 0" + range}, {com + "tcp://127.0.0.1:65536\n", "port 65536" + range},
        {com + "rfc2217://127.0.0.1:70000\n", "port 70000" + range}, {com + "tcp://[::1]:4294967297\n", "port 4294967297" + range},
        {"[ACCESS]\nROOT=" + (dir / "plain") + "\n", "Setting [ACCESS] ROOT=" + (dir / "plain") + " cannot be used: not a directory"},
        {"[ACCESS]\nROOT=/\nno key\n", "rs232-server.ini cannot be read: line 3 is neither [SECTION] nor KEY=VALUE"}};
    for (const auto& [settings, reason] : stops) {
        CServer stopped(other, lease.Port(), {{port}, settings});
        EXPECT_TRUE(stopped.Wait() == 1 && stopped.Err().find(reason + "\n") != std::string::npos) << settings << stopped.Err();
    }
}

TEST(Startup, OneInstancePerPort) {
    CTempDir firstDir, secondDir;
    CPty firstPty;
    CServer first(firstDir, firstPty.SlavePath());
    const std::string port = std::to_string(first.Port());
    ASSERT_TRUE(first.WaitFor("Rs232 Server started ...\n")) << first.Err();
    // A second start on the port, even from another directory, is refused before it creates
    // anything.
    CServer second(secondDir, first.Port(), {{port, secondDir.Path()}});
    EXPECT_EQ(second.Wait(), 1);
    EXPECT_EQ(second.Err(), "Program already running on port " + port + " !\n");
    EXPECT_EQ(ListDir(secondDir.Path()), std::vector<std::string>{"rs232-server"});
    ASSERT_TRUE(firstPty.Connect());  // the first instance still serves its line
    EXPECT_TRUE(first.WaitFor("Client connected\n"));
    EXPECT_EQ(first.Stop(SIGINT), 0);  // SIGINT closes as SIGTERM does
    EXPECT_EQ(From(first.Lines(), "Server stopped !"), (std::vector<std::string>{"Server stopped !", "Program closed !"}));
}

// Serving on arrival, through the headless view's logic with the real server on a
// pseudo-terminal: what is queued when a wake-up comes is served in it, up to its bound.
TEST(Arrival, QueuedBytesAreServedUpToTheBoundOfAWakeUp) {
    CTempDir dir;
    CPty pty;
    fs::current_path(dir.Path());  // where the first line's log file goes
    dir.WriteFile("rs232-server.ini", "[COMPORT]\nBAUDRATE=115200\n[PORTS]\nCOM5=" + pty.SlavePath() + "\n");
    CSignalWatcher signals;
    CConsoleServerView view(signals);
    CServerDlg dlg(view, "5 " + dir.Path(), dir / "rs232-server");
    dlg.OnInitDialog();
    CRs232Server& server = dlg.Server();
    const auto queue = [&](const Bytes& bytes) {
        pty.Send(bytes);
        const int n = static_cast<int>(bytes.size());
        ASSERT_EQ(server.WaitForInQueue(n, CSerialPort::Clock::now() + 10s), n);
    };

    dlg.OnTimer(CServerDlg::kTimerId);  // the first tick starts the server
    ASSERT_GE(dlg.ArrivalFd(), 0);
    EXPECT_FALSE(dlg.OnArrival());  // woken with nothing queued: left to the next tick

    // Line noise, one byte a Poll: a wake-up stops after its bound, the next takes the rest.
    queue(Bytes(CServerDlg::kMaxPollsPerWake + 5, 'x'));
    EXPECT_TRUE(dlg.OnArrival());
    EXPECT_EQ(server.GetInQueue(), 5);
    EXPECT_TRUE(dlg.OnArrival());
    EXPECT_EQ(server.GetInQueue(), 0);
}

}  // namespace
}  // namespace rs232::test
