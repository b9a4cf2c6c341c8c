// Confinement and data safety over the line: links and swapped directories never lead a write
// out of the access root, listings and logs stay whole, kill leftovers go, read-only files stay.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <functional>
#include <sstream>

#include "ServerFixture.h"
#include "log/LogFile.h"
#include "platform/FileOps.h"
#include "platform/NewFile.h"
#include "platform/Paths.h"

namespace rs232::test {
namespace {

class Safety : public ServerOnPty {
protected:
    void SetUp() override {
        ServerOnPty::SetUp();
        ASSERT_NE(getcwd(m_cwd, sizeof m_cwd), nullptr);
        ASSERT_EQ(chdir(base.Path().c_str()), 0);  // upload temp file and journal lie here
        for (const char* dir : {"R", "R/sub", "out"}) ASSERT_TRUE(MakeDir(base / dir));
        server.SetBasePath(base / "R/");
        server.SetBackupPath(base / "R/BAK/");  // missing: made when needed
        server.SetAccessLimits({base / "R", false});
        WriteFile("R/in.txt", "new");
    }
    void TearDown() override { ASSERT_EQ(chdir(m_cwd), 0); }
    // Runs "type cnt data" requests separated by '|'; the last status text.
    std::string Run(const std::string& requests) {
        std::string status, part;
        for (std::istringstream in(requests); std::getline(in, part, '|');) {
            const size_t a = part.find(' '), b = part.find(' ', a + 1);
            status = Quiet(part.substr(0, a).c_str(), std::stol(part.substr(a + 1, b - a - 1)),
                           b == std::string::npos ? "" : part.substr(b + 1));
        }
        return status;
    }
    std::string R(const std::string& name) { return base / ("R/" + name); }
    // A request block whose tick ends in a file error, for the operator's report.
    bool Reported(const char* type, long cnt, const std::string& data) { return Request(type, cnt, data).get().event.report; }
    char m_cwd[4096] = {};
};

TEST_F(Safety, LinksReadOnlyFilesAndTheBackupDirectory) {
    ASSERT_EQ(symlink((base / "out/made.txt").c_str(), R("dangle").c_str()), 0);
    ASSERT_EQ(symlink("later.txt", R("inside").c_str()), 0);
    WriteFile("R/ro.txt", "keep");
    ASSERT_EQ(chmod(R("ro.txt").c_str(), 0444), 0);
    const std::string out = " refused: outside " + CanonicalPath(base / "R");
    const std::string ok = "Receiving and Copy and Rename (Backup) File ",
                      failed = "Receiving and Rename (Backup) File ",
                      copyFailed = " OK. Copy failed !!!";
    const std::pair<std::string, std::string> rows[] = {
        {"DL 0 dangle\nsub/", "Access to " + R("dangle") + out},
        {"CF 0 dangle\nin.txt", "Access to " + R("dangle") + out},
        {"DL 0 inside\nsub/", "Directory " + R("sub/") + " written to File " + R("inside!")},
        {"FT 0 up.txt;1|FT 1 u|FT -1", ok + R("up.txt") + " OK!"},
        {"FT 0 ro.txt;1|FT 1 u|FT -1", failed + R("ro.txt") + copyFailed},
        {"CF 0 ro.txt\nin.txt", "Error CopyFile " + R("in.txt") + " to " + R("ro.txt!")},
        {"DL 0 ro.txt\nsub/", "Cannot create list file " + R("ro.txt")},
    };
    for (const auto& [requests, status] : rows) EXPECT_EQ(Run(requests), status) << requests;
    EXPECT_TRUE(Reported("DF", 0, "ro.txt"));
    EXPECT_EQ(base.ReadFile("R/ro.txt"), "keep");
    EXPECT_FALSE(FileExists(base / "out/made.txt") || FileExists(R("later.txt")) ||
                 FileExists(base / "FT_TMP03.TMP"));

    // The upload's directory swapped for a link to the outside before the finish.
    Run("FT 0 sub/t.bin;6|FT 1 abc");
    ASSERT_EQ(rename(R("sub").c_str(), R("old").c_str()), 0);
    ASSERT_EQ(symlink((base / "out").c_str(), R("sub").c_str()), 0);
    EXPECT_EQ(Run("FT 2 def|FT -1"), failed + R("sub/t.bin") + copyFailed);
    EXPECT_EQ(events.Texts().end()[-1], "FTBlockReceived: Access to " + R("sub/t.bin") + out);
    EXPECT_FALSE(FileExists(base / "out/t.bin"));
}

// A listing or an upload that does not fit: the old file stays whole. Each refused write of the
// upload is a file error for the operator's report; the end block finds the size short.
TEST_F(Safety, WritesThatDoNotFitLeaveTheOldFilesWhole) {
    for (int i = 0; i < 200; ++i) WriteFile("R/sub/a-rather-long-name-" + std::to_string(i), "");
    WriteFile("R/list.txt", "old\r\n");
    signal(SIGXFSZ, SIG_IGN);  // a file size limit fails the write as a full disk does
    rlimit saved{}, small{4096, 4096};
    getrlimit(RLIMIT_FSIZE, &saved);
    small.rlim_max = saved.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string status = Run("DL 0 list.txt\nsub/");
    Run("FT 0 in.txt;5000");
    for (long cnt = 1; cnt <= 10; ++cnt) EXPECT_EQ(cnt > 8, Reported("FT", cnt, std::string(500, 'u')));
    const std::string upload = Run("FT -1");
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(status, "Cannot create list file " + R("list.txt"));
    EXPECT_EQ(base.ReadFile("R/list.txt"), "old\r\n");
    EXPECT_EQ(RemoveLeftoverTempFiles(R("")), 0);  // the temp file is gone already
    EXPECT_EQ(upload, "FTBlockReceived: Receiving File Size ERROR 4096 != 5000");
    EXPECT_EQ(base.ReadFile("R/in.txt"), "new");
}

// A kill leaves temp files; the next start removes those of our pattern where it wrote, and
// its log, downloaded at once, misses no line.
TEST_F(Safety, LeftoverTempFilesGoAtTheStartAndTheLogLosesNoLine) {
    Run("CF 0 sub/c.txt\nin.txt");  // the server has written in sub/
    const char* kept[] = {"sub/.rs232-copy-Ab1", "sub/x.rs232-copy-Ab12Cd",
                          "sub/.rs232-copy-Held99", ".rs232-copy-Ab12Cd"};
    for (const char* name : kept) WriteFile(std::string("R/") + name, "");
    WriteFile("R/sub/.rs232-copy-Ab12Cd", "left by a kill");
    const int held = open(R("sub/.rs232-copy-Held99").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);  // still being written by another process
    CLogFile log;
    log.SetLogDir(R(""));
    server.StopServer();
    server.SetEventRoute([&](const std::string& text, EEventLevel) { log.WriteLine(MakeTimeStamp() + text); });
    ASSERT_EQ(server.StartServer(kPort, 115200), 1);
    close(held);
    EXPECT_FALSE(FileExists(R("sub/.rs232-copy-Ab12Cd")));
    for (const char* name : kept) EXPECT_TRUE(FileExists(R(name))) << name;

    const std::string name = log.CurrentFileName().substr(R("").size());
    const std::string before = base.ReadFile(log.CurrentFileName());
    auto done = Request("RF", 0, name);  // answered in full below
    EXPECT_EQ(Text(Reply().data), name + ";" + std::to_string(before.size()));
    EXPECT_EQ(Text(Reply().data), before);  // what the header announced, no more
    EXPECT_EQ(Reply().cnt, -1);
    EXPECT_NE(base.ReadFile(log.CurrentFileName()).find("Transmitting File"), std::string::npos);
}

}  // namespace
}  // namespace rs232::test
