// The upload state machine, driven block by block without the line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "server/Rs232Server.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

namespace rs232::test {
namespace {

class CUploadServer : public CRs232Server {
public:
    CUploadServer() { m_nPort = 7; }
    std::string Block(long cnt, const std::string& data, int len = -1) {
        std::string status = "stale";
        FTBlockReceived(cnt, reinterpret_cast<const uint8_t*>(data.data()),
                        len < -1 ? len : static_cast<int>(data.size()), status);
        return status;
    }
    long LastBlock() const { return m_upload.m_nLastBlock; }
    bool UploadError() const { return m_upload.m_bUploadError != 0; }
};

class Upload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(m_cwd, sizeof m_cwd), nullptr);
        ASSERT_EQ(chdir(base.Path().c_str()), 0);  // the temp file lies in the current directory
        ASSERT_EQ(mkdir((base / "BAK").c_str(), 0755), 0);
        server.SetBasePath(base.Path());
        server.SetBackupPath(base / "BAK/");
        SetClockForTest([] { return int64_t{1000000000}; });
        const CLocalTime t = LocalTime(1000000000);
        char stamp[64];
        snprintf(stamp, sizeof stamp, "BAK7_%4.4d%2.2d%2.2d%2.2d%2.2d%2.2d_", t.year, t.month,
                 t.day, t.hour, t.minute, t.second);
        backupName = stamp;
    }
    void TearDown() override {
        SetClockForTest({});
        ASSERT_EQ(chdir(m_cwd), 0);
    }
    static std::string Ok(const std::string& target) {
        return "Receiving and Copy and Rename (Backup) File " + target + " OK!";
    }

    CTempDir base;
    CUploadServer server;
    std::string backupName;  // the backup's name without the target's
    const std::string tmp = "FT_TMP07.TMP";
    char m_cwd[4096] = {};
};

TEST_F(Upload, ExampleUploadWithBackupAndRepeatedEnd) {
    EXPECT_EQ(server.LastBlock(), -1);
    ASSERT_EQ(mkdir((base / "in").c_str(), 0755), 0);
    const std::string target = base / "in/a.txt";
    EXPECT_EQ(server.Block(0, "\\" + target.substr(1) + ";12"), "Receiving File " + target + "...");
    EXPECT_EQ(server.Block(1, "1234567"), "");
    EXPECT_EQ(server.Block(2, "89abc"), "");
    EXPECT_EQ(server.Block(2, "89abc"), "FTBlockReceived: Block retry 2");
    EXPECT_EQ(server.Block(3, ""), "");  // LEN 0 advances the block number only
    EXPECT_EQ(server.Block(-1, ""), Ok(target));
    EXPECT_EQ(base.ReadFile(target), "123456789abc");
    EXPECT_EQ(base.ReadFile("BAK/" + backupName + "a.txt"), "123456789abc");
    EXPECT_FALSE(FileExists(base / tmp));
    EXPECT_EQ(server.Block(-1, ""), "FTBlockReceived: File end without file data!");
    // The same target again within the same second takes over the backup name.
    server.Block(0, "in/a.txt;3");
    server.Block(1, "xyz");
    EXPECT_EQ(server.Block(-1, ""), Ok(target));
    EXPECT_EQ(base.ReadFile("BAK/" + backupName + "a.txt"), "xyz");
    EXPECT_EQ(base.ReadFile(target), "xyz");
}

TEST_F(Upload, SegmentsGapsAndSizeErrors) {
    EXPECT_EQ(server.Block(1, "x"), "FTBlockReceived: Block missing rec: 1 exp: 0");
    EXPECT_EQ(server.Block(-1, ""), "FTBlockReceived: Error Block Missing!");
    EXPECT_EQ(server.Block(0, "a;b;4"), "Receiving File " + base / "b" + "...");
    EXPECT_FALSE(server.UploadError());
    EXPECT_EQ(server.Block(-1, ""), "FTBlockReceived: File end without file data!");
    server.Block(1, "ab");
    EXPECT_EQ(server.Block(3, "xx"), "FTBlockReceived: Block missing rec: 3 exp: 2");
    EXPECT_EQ(server.Block(2, "cd"), "");
    EXPECT_EQ(server.Block(-5, "zz"), "FTBlockReceived: Block retry -5");
    EXPECT_EQ(server.Block(4, "zz", -5), "FTBlockReceived: Block 4 with invalid length -5 ignored");
    EXPECT_EQ(server.Block(-1, ""), "FTBlockReceived: Error Block Missing!");
    EXPECT_FALSE(FileExists(base / "b"));
    server.Block(0, "b;5");
    server.Block(1, "abcd");
    EXPECT_EQ(server.Block(-1, ""), "FTBlockReceived: Receiving File Size ERROR 4 != 5");
    EXPECT_FALSE(FileExists(base / "b"));
    EXPECT_EQ(server.LastBlock(), -1);
}

TEST_F(Upload, RefusedStartBlocksKeepTheUploadInProgress) {
    server.Block(0, "keep.txt;6");
    server.Block(1, "abc");
    EXPECT_EQ(server.Block(0, "6"), "FTBlockReceived: Start block without ';' refused");
    EXPECT_EQ(server.Block(0, std::string(100, 'p') + ";6"),
              "FTBlockReceived: Start block refused, path segment or size of 100 bytes too long");
    EXPECT_EQ(server.Block(0, "x;" + std::string(100, '1')).rfind("FTBlockReceived: ", 0), 0u);
    EXPECT_EQ(server.Block(0, tmp + ";3"),
              "FTBlockReceived: Start block refused, " + base / tmp + " is the upload temp file");
    EXPECT_EQ(server.LastBlock(), 1);
    server.Block(2, "def");
    EXPECT_EQ(server.Block(-1, ""), Ok(base / "keep.txt"));
    EXPECT_EQ(base.ReadFile("keep.txt"), "abcdef");
    const std::string name(99, 'n');  // the longest segment taken
    EXPECT_EQ(server.Block(0, name + ";1"), "Receiving File " + base / name + "...");
}

TEST_F(Upload, FailuresAfterTheCopyAndOfTheTempFile) {
    // The copy fails (no such directory) but the backup is kept.
    server.Block(0, "no/dir/t.txt;2");
    server.Block(1, "ho");
    EXPECT_EQ(server.Block(-1, ""),
              "Receiving and Rename (Backup) File " + base / "no/dir/t.txt" + " OK. Copy failed !!!");
    EXPECT_EQ(base.ReadFile("BAK/" + backupName + "t.txt"), "ho");
    // A temp file that cannot be opened sets the error flag ...
    server.Block(0, "u.txt;1");
    ASSERT_EQ(mkdir((base / tmp).c_str(), 0755), 0);
    EXPECT_EQ(server.Block(1, "u"), "FTBlockReceived: Error Open Tmp File <" + tmp + ">");
    EXPECT_TRUE(server.UploadError());
    // ... and a start block that cannot remove it leaves the handler with the state unchanged.
    EXPECT_THROW(server.Block(0, "v.txt;1"), CFileException);
    EXPECT_TRUE(server.UploadError());
}

}  // namespace
}  // namespace rs232::test
