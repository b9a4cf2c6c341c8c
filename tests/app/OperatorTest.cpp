// What operators and the service manager see: retention of our own files, and the
// real executable, headless, under a notification socket and a journal stream.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>

#include "server/Retention.h"
#include "support/Process.h"

namespace rs232::test {
namespace {

TEST(Retention, RemovesOnlyOurOwnExpiredFiles) {
    CTempDir dir;
    const std::vector<std::pair<std::string, bool>> files = {  // name, removed
        {"LOG4_20260207.LOG", true},   {"LOG4_20260208.LOG", false},  // 31 and 30 days old
        {"LOG5_20200101.LOG", false},  {"LOG4_20200101.LOG.bak", false},
        {"LOG4_2020011.LOG", false},   {"LOG4_20201301.LOG", false},
        {"20200101.LOG", false},       {"BAK4_20260101120000_report.txt", true},
        {"BAK4_20260301235959_report.txt", false}, {"BAK4_20200101120000_", false},
        {"BAK44_20200101120000_x", false},         {"notes.txt", false},
        {"AUDIT4_20260207.jsonl", true},           {"AUDIT4_20260208.jsonl", false},
    };
    for (const auto& [name, removed] : files) dir.WriteFile(name, "x");
    std::filesystem::create_directory(dir / "LOG4_20200102.LOG");
    const CLocalTime today{2026, 3, 10, 0, 0, 0};
    EXPECT_EQ(RemoveExpired(dir.Path(), EDatedFile::Log, 4, 30, today), 1);
    EXPECT_EQ(RemoveExpired(dir.Path(), EDatedFile::Backup, 4, 30, today), 1);
    EXPECT_EQ(RemoveExpired(dir.Path(), EDatedFile::Audit, 4, 30, today), 1);
    EXPECT_EQ(RemoveExpired(dir.Path(), EDatedFile::Log, 4, 0, today), 0);  // off
    for (const auto& [name, removed] : files) EXPECT_NE(std::filesystem::exists(dir / name), removed) << name;
    EXPECT_TRUE(std::filesystem::is_directory(dir / "LOG4_20200102.LOG"));
}

// The service manager's end of NOTIFY_SOCKET: a datagram socket bound in a temp directory.
class CNotifyListener {
public:
    explicit CNotifyListener(const std::string& path) : m_fd(socket(AF_UNIX, SOCK_DGRAM, 0)) {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        const timeval wait{30, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~CNotifyListener() { close(m_fd); }
    // Reads datagrams until one holds a match of pattern; false when none comes for 30 s.
    bool WaitFor(const std::string& pattern) {
        char buffer[4096];
        for (ssize_t n; (n = recv(m_fd, buffer, sizeof buffer, 0)) > 0;)
            if (std::regex_search(std::string(buffer, static_cast<size_t>(n)), std::regex(pattern))) return true;
        return false;
    }

private:
    int m_fd;
};

TEST(Service, NotifiesLevelsLinesRereadsSettingsOnHangupAndStopsCleanly) {
    // The shell hands the server its own stdout's identity as the journal's, or a stale one.
    for (const bool journal : {true, false}) {
        SCOPED_TRACE(journal);
        CTempDir dir;
        CPty pty;
        CPortLease lease;
        const std::string n = std::to_string(lease.Port()), ports = "[PORTS]\nCOM" + n + "=" + pty.SlavePath() + "\n";
        const std::string exe = InstallServer(dir, ports);
        CNotifyListener notify(dir / "notify");
        const std::string stream = journal ? "$(stat -L -c %d:%i /proc/$$/fd/1)" : "0:0";
        CServer server(dir, lease.Port(), {{n}, {}, {{"NOTIFY_SOCKET", dir / "notify"}}, "JOURNAL_STREAM=" + stream + " exec \"$0\" \"$1\""});
        ASSERT_TRUE(notify.WaitFor("READY=1"));
        EXPECT_TRUE(notify.WaitFor("^STATUS=" + pty.SlavePath() + " at 57600 Bd, waiting for a client, no client yet, 0 served, 0 failed$"));

        // A download of a missing file fails.
        ASSERT_TRUE(pty.Connect());
        pty.Send(MakeBlock("RF", 0, "missing.txt"));
        ASSERT_EQ(pty.Read(1), Bytes{ACK});
        SReadBlock reply;
        ASSERT_TRUE(pty.ReadBlock(reply));
        pty.Send(ACK);
        EXPECT_TRUE(notify.WaitFor(", last contact [0-9]{2}:[0-9]{2}:[0-9]{2}, 0 served, 1 failed$"));
        // A file error inside a request (a directory is not deleted) ends only its tick.
        std::filesystem::create_directory(dir / "folder");
        pty.Send(MakeBlock("DF", 0, std::string("folder")));
        ASSERT_EQ(pty.Read(1), Bytes{ACK});
        ASSERT_TRUE(server.WaitForErr("folder")) << server.Err();
        EXPECT_TRUE(notify.WaitFor(", 0 served, 2 failed$"));
        EXPECT_TRUE(pty.Connect());
        EXPECT_TRUE(std::filesystem::is_directory(dir / "folder"));

        dir.WriteFile("LOG/LOG" + n + "_20000101.LOG", "old\r\n");
        dir.WriteFile("rs232-server.ini", ports + "[ACCESS]\nREADONLY=1\n[LOG]\nKEEPDAYS=30\n");
        server.Signal(SIGHUP);
        ASSERT_TRUE(server.WaitFor("Removed 1 log files older than 30 days\n"));
        EXPECT_FALSE(std::filesystem::exists(dir / ("LOG/LOG" + n + "_20000101.LOG")));
        // A close during a download stops it at its next block; its status reaches the log only.
        dir.WriteFile("big.bin", std::string(20000, 'x'));
        pty.Send(MakeBlock("RF", 0, std::string("big.bin")));
        ASSERT_EQ(pty.Read(1), Bytes{ACK});
        for (long expected = 0; expected <= 2; ++expected) {
            ASSERT_TRUE(pty.ReadBlock(reply) && reply.cnt == expected);
            if (expected == 2) server.Signal(SIGTERM);  // while the server waits for the answer
            pty.Send(ACK);
        }
        EXPECT_EQ(server.Wait(), 0);
        while (pty.ReadBlock(reply, 300ms)) EXPECT_NE(reply.cnt, -1);
        EXPECT_TRUE(notify.WaitFor("STOPPING=1"));

        const std::vector<std::pair<int, std::string>> expected = {
            {6, "Rs232 Server started ..."},
            {3, "Requested File " + dir.Path() + "missing.txt not found"},
            {6, "Settings re-read from " + exe + ".ini"},
            {6, "Read-only: FT, DF, CF and DL are refused"},
            {6, "Removed 1 log files older than 30 days"},
            {6, "Transmitting File " + dir.Path() + "big.bin to Client ..."},
            {6, "Program closed !"},
        };
        std::vector<std::string> out;
        std::istringstream lines(server.Out());
        for (std::string line; std::getline(lines, line);) out.push_back(line);
        const auto log = LogLines(dir / "LOG/", lease.Port());
        EXPECT_TRUE(Contains(log, "Error -105 (Pos 2) while sending SF Block!"));
        EXPECT_EQ(server.Out().find("Error -105"), std::string::npos);
        for (const auto& [level, text] : expected) {
            EXPECT_TRUE(Contains(journal ? out : server.Lines(), (journal ? "<" + std::to_string(level) + ">" : "") + text)) << text;
            EXPECT_TRUE(Contains(log, text)) << text;
        }
        // Stamped everywhere but on the journal, and the log file keeps its stamps always.
        for (const auto& line : out) EXPECT_EQ(WithoutStamp(line) == line, journal) << line;
        for (const auto& name : ListDir(dir / "LOG/")) {
            std::istringstream file(ReadWholeFile(dir / ("LOG/" + name)));
            for (std::string line; std::getline(file, line);) EXPECT_NE(WithoutStamp(line), line) << line;
        }
    }
}


// Settings that cannot be taken leave what is in force: a file gone, a directory, a dangling link
// or a garbled file keeps ROOT and READONLY on SIGHUP, and so does a ROOT that names no
// directory; a refused KEEPDAYS removes nothing.
TEST(Service, SettingsThatCannotBeTakenKeepWhatIsInForce) {
    CTempDir dir;
    CPty pty;
    const std::string ini = dir / "rs232-server.ini", keep = "[ACCESS]\nROOT=" + (dir / "pub") + "\nREADONLY=1\n";
    std::filesystem::create_directories(dir / "pub");
    dir.WriteFile("pub/in.txt", "in");
    dir.WriteFile("secret.txt", "out");
    CServer server(dir, pty.SlavePath(), {}, keep);
    ASSERT_TRUE(server.Started()) << server.Err();
    const std::string old = "LOG/LOG" + std::to_string(server.Port()) + "_20000101.LOG";
    dir.WriteFile(old, "old\r\n");
    const std::pair<std::function<void()>, std::string> rows[] = {
        {[&] { std::filesystem::remove(ini); }, "No such file or directory"},
        {[&] { std::filesystem::create_directory(ini); }, "Is a directory"},
        {[&] { std::filesystem::remove(ini), std::filesystem::create_symlink(dir / "none", ini); }, "No such file or directory"},
        {[&] { std::filesystem::remove(ini), dir.WriteFile("rs232-server.ini", "[ACCESS]\nROOT=/\n\x01garbage\n"); }, "line 3 is neither [SECTION] nor KEY=VALUE"}};
    for (const auto& [change, why] : rows) {
        const size_t from = server.Out().size();
        change(), server.Signal(SIGHUP);
        EXPECT_TRUE(server.WaitFor("Settings file " + ini + " ignored: " + why + "; the settings in force stay\n", 30s, from)) << why;
    }
    for (const std::string days : {"1e3", "-1", "abc", "99999999999"}) {
        dir.WriteFile("rs232-server.ini", keep + "[LOG]\nKEEPDAYS=" + days + "\n"), server.Signal(SIGHUP);
        EXPECT_TRUE(server.WaitFor("Setting [LOG] KEEPDAYS=" + days + " ignored: not a whole number from 0 to 36500\n")) << days;
    }
    dir.WriteFile("rs232-server.ini", "[ACCESS]\nROOT=" + (dir / "none") + "\nREADONLY=1\n"), server.Signal(SIGHUP);
    EXPECT_TRUE(server.WaitFor("Setting [ACCESS] ROOT=" + (dir / "none") + " ignored: not a directory\n"));
    EXPECT_EQ(dir.ReadFile(old), "old\r\n");
    SReadBlock reply;
    ASSERT_TRUE(pty.Connect());
    pty.Send(MakeBlock("IR", 0, std::string("secret.txt")));
    ASSERT_TRUE(pty.Read(1) == Bytes{ACK} && pty.ReadBlock(reply));
    pty.Send(ACK);
    EXPECT_TRUE(server.WaitFor("Access to " + dir.Path() + "secret.txt refused: outside"));
    pty.Send(MakeBlock("DF", 0, std::string("pub/in.txt")));
    EXPECT_TRUE(server.WaitFor("Error: DF Block refused, the server is read-only\n"));
}

}  // namespace
}  // namespace rs232::test
