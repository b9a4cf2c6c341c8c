// Confinement and data safety over the line: links and swapped directories never lead a write
// out of the access root, listings and logs stay whole, kill leftovers go, read-only files stay.
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <filesystem>

#include "ServerFixture.h"
#include "log/LogFile.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

struct SRequest {
    const char* type;
    long cnt;
    std::string data;
};

class Safety : public ServerOnPty {
protected:
    void SetUp() override {
        ServerOnPty::SetUp();
        ASSERT_NE(getcwd(m_cwd, sizeof m_cwd), nullptr);
        ASSERT_EQ(chdir(base.Path().c_str()), 0);  // upload temp file and journal lie here
        for (const char* dir : {"R", "R/sub", "R/BAK", "out"}) ASSERT_TRUE(MakeDir(base / dir));
        server.SetBasePath(base / "R/");
        server.SetBackupPath(base / "R/BAK/");
        server.SetAccessLimits({base / "R", false});
        WriteFile("R/in.txt", "new");
    }
    void TearDown() override {
        ASSERT_EQ(chdir(m_cwd), 0);
        ServerOnPty::TearDown();
    }
    // Runs the requests; the last one's status text.
    std::string Run(const std::vector<SRequest>& requests) {
        std::string status;
        for (const SRequest& r : requests) status = Quiet(r.type, r.cnt, r.data);
        return status;
    }
    std::string Refused(const std::string& path) {
        return "Access to " + base / ("R/" + path) + " refused: outside " + CanonicalPath(base / "R");
    }
    static std::vector<SRequest> Upload(const std::string& target, const std::string& content) {
        return {{"FT", 0, target + ";" + std::to_string(content.size())}, {"FT", 1, content},
                {"FT", -1, ""}};
    }
    int TempFiles() const {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(base / "R"))
            n += e.path().filename().string().starts_with(".rs232-copy-");
        return n;
    }
    void Restart(CLogFile* log = nullptr) {
        server.StopServer();
        ASSERT_EQ(server.StartServer(kPort, 115200, &events, log), 1);
    }

    char m_cwd[4096] = {};
};

TEST_F(Safety, LinksNeverLeadACreatedFileOutOrThroughThem) {
    ASSERT_EQ(symlink((base / "out/made.txt").c_str(), (base / "R/dangle").c_str()), 0);
    ASSERT_EQ(symlink("later.txt", (base / "R/inside").c_str()), 0);
    const struct {
        std::vector<SRequest> requests;
        std::string status;
    } rows[] = {
        {{{"DL", 0, "dangle\nsub/"}}, Refused("dangle")},
        {{{"CF", 0, "dangle\nin.txt"}}, Refused("dangle")},
        {{{"FT", 0, "dangle;3"}}, "FTBlockReceived: " + Refused("dangle")},
        // A dangling link inside the root is replaced, never written through.
        {{{"DL", 0, "inside\nsub/"}}, "Directory " + base / "R/sub/" + " written to File " +
                                          base / "R/inside!"},
    };
    for (const auto& row : rows) EXPECT_EQ(Run(row.requests), row.status);
    EXPECT_FALSE(FileExists(base / "out/made.txt") || FileExists(base / "R/later.txt"));
}

TEST_F(Safety, DirectorySwappedForALinkDuringAnUploadIsRefusedAtTheFinish) {
    EXPECT_EQ(Run({{"FT", 0, "sub/t.bin;6"}, {"FT", 1, "abc"}}), "");
    ASSERT_EQ(rename((base / "R/sub").c_str(), (base / "R/old").c_str()), 0);
    ASSERT_EQ(symlink((base / "out").c_str(), (base / "R/sub").c_str()), 0);
    EXPECT_EQ(Run({{"FT", 2, "def"}, {"FT", -1, ""}}),
              "Receiving and Rename (Backup) File " + base / "R/sub/t.bin" + " OK. Copy failed !!!");
    const auto texts = events.Texts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "FTBlockReceived: " + Refused("sub/t.bin")),
              texts.end());
    EXPECT_FALSE(FileExists(base / "out/t.bin"));
}

TEST_F(Safety, ListingThatDoesNotFitLeavesTheOldListWhole) {
    for (int i = 0; i < 200; ++i) WriteFile("R/sub/entry-with-a-long-name-" + std::to_string(i), "");
    WriteFile("R/list.txt", "old\r\n");
    signal(SIGXFSZ, SIG_IGN);  // a file limit makes the write fail as a full disk does
    rlimit saved{}, small{4096, 4096};
    getrlimit(RLIMIT_FSIZE, &saved);
    small.rlim_max = saved.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const std::string status = Run({{"DL", 0, "list.txt\nsub/"}});
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(status, "Cannot create list file " + base / "R/list.txt");
    EXPECT_EQ(base.ReadFile("R/list.txt"), "old\r\n");
    EXPECT_EQ(TempFiles(), 0);
}

TEST_F(Safety, DownloadOfTodaysLogLosesNoLine) {
    CLogFile log;
    log.SetLogDir(base / "R/");
    log.SetPrefix("LOG3_");
    Restart(&log);
    ASSERT_TRUE(log.WriteLine("first"));
    const std::string name = log.CurrentFileName().substr(base.Path().size() + 2);
    auto done = Request("RF", 0, name);
    EXPECT_EQ(Text(Reply().data), name + ";7");
    EXPECT_EQ(Text(Reply().data), "first\r\n");  // exactly what the header announced
    EXPECT_EQ(Reply().cnt, -1);
    EXPECT_EQ(done.get().result, 1);
    EXPECT_NE(base.ReadFile(log.CurrentFileName()).find("Transmitting File"), std::string::npos);
}

TEST_F(Safety, LeftoverTempFilesOfOurPatternGoAtTheStart) {
    EXPECT_EQ(Run({{"CF", 0, "sub/c.txt\nin.txt"}}),
              "File " + base / "R/in.txt" + " copied to " + base / "R/sub/c.txt!");
    const char* kept[] = {".rs232-copy-Ab1", ".rs232-copy-Ab12Cd7", ".rs232-copy-Ab_2Cd",
                          "x.rs232-copy-Ab12Cd", ".rs232-copy-Held99"};
    for (const char* name : kept) WriteFile(std::string("R/sub/") + name, "");
    WriteFile("R/.rs232-copy-Ab12Cd", "");  // no write of ours went there
    WriteFile("R/sub/.rs232-copy-Ab12Cd", "left by a kill");
    ASSERT_TRUE(MakeDir(base / "R/sub/.rs232-copy-Dir123"));
    const int held = open((base / "R/sub/.rs232-copy-Held99").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);  // still being written by another process
    Restart();
    close(held);
    EXPECT_FALSE(FileExists(base / "R/sub/.rs232-copy-Ab12Cd"));
    for (const char* name : kept) EXPECT_TRUE(FileExists(base / "R/sub/" + name)) << name;
    EXPECT_TRUE(FileExists(base / "R/.rs232-copy-Ab12Cd") &&
                FileExists(base / "R/sub/.rs232-copy-Dir123"));
}

TEST_F(Safety, RemovedBackupDirectoryIsMadeAgain) {
    ASSERT_EQ(rmdir((base / "R/BAK").c_str()), 0);
    EXPECT_EQ(Run(Upload("up.txt", "abc")),
              "Receiving and Copy and Rename (Backup) File " + base / "R/up.txt" + " OK!");
    EXPECT_FALSE(FileExists(base / "FT_TMP03.TMP"));
    EXPECT_EQ(TempFiles(), 0);
}

// Read-only means the owner-write bit, for root too: the file is neither deleted nor replaced.
TEST_F(Safety, ReadOnlyFilesAreKept) {
    const struct {
        std::vector<SRequest> requests;
        std::string status;  // empty: the file exception
    } rows[] = {
        {{{"DF", 0, "ro.txt"}}, ""},
        {Upload("ro.txt", "new"),
         "Receiving and Rename (Backup) File " + base / "R/ro.txt" + " OK. Copy failed !!!"},
        {{{"CF", 0, "ro.txt\nin.txt"}},
         "Error CopyFile " + base / "R/in.txt" + " to " + base / "R/ro.txt!"},
        {{{"DL", 0, "ro.txt\nsub/"}}, "Cannot create list file " + base / "R/ro.txt"},
    };
    WriteFile("R/ro.txt", "keep");
    ASSERT_EQ(chmod((base / "R/ro.txt").c_str(), 0444), 0);
    for (const auto& row : rows) {
        if (row.status.empty())
            EXPECT_THROW(Request("DF", 0, "ro.txt").get(), CFileException);
        else
            EXPECT_EQ(Run(row.requests), row.status);
        EXPECT_EQ(base.ReadFile("R/ro.txt"), "keep");
    }
}

}  // namespace
}  // namespace rs232::test
