#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "log/LogFile.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

using namespace rs232;
using rs232::test::CTempDir;

namespace {

constexpr int64_t kSept9 = 1000000000;  // 2001-09-09 01:46:40 UTC

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        SetClockForTest([this] { return m_now; });
        m_log.SetLogDir(m_dir.Path());
        m_log.SetPrefix("LOG3_");
    }
    void TearDown() override { SetClockForTest({}); }

    int64_t m_now = kSept9;
    CTempDir m_dir;
    CLogFile m_log;
};

}  // namespace

TEST_F(LogFileTest, AppendsLinesToTheFileOfTheDay) {
    EXPECT_EQ(m_dir / "LOG3_20010909.LOG", m_log.CurrentFileName());
    EXPECT_EQ("01:46:40 ", MakeTimeStamp());
    m_dir.WriteFile("LOG3_20010909.LOG", "earlier run\r\n");

    ASSERT_TRUE(m_log.WriteLine("01:46:40 first"));
    CLogFile second;  // a second object (a second run) continues the same file
    second.SetLogDir(m_dir.Path());
    second.SetPrefix("LOG3_");
    ASSERT_TRUE(second.WriteLine("two\nlines"));
    ASSERT_TRUE(second.WriteLine(""));
    EXPECT_EQ("earlier run\r\n01:46:40 first\r\ntwo\nlines\r\n\r\n",
              m_dir.ReadFile("LOG3_20010909.LOG"));

    m_now = kSept9 + 86400;  // the next day starts a new file; the old one is left alone
    ASSERT_TRUE(m_log.WriteLine("next day"));
    EXPECT_EQ("next day\r\n", m_dir.ReadFile("LOG3_20010910.LOG"));
    EXPECT_EQ(0u, m_dir.ReadFile("LOG3_20010909.LOG").find("earlier run\r\n01:46:40 first"));
}

TEST_F(LogFileTest, EmptyDirAndPrefixWriteIntoTheCurrentDirectory) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
    CLogFile bare;
    EXPECT_EQ("20010909.LOG", bare.CurrentFileName());
    const bool written = bare.WriteLine("line");
    std::filesystem::current_path(previous);
    EXPECT_TRUE(written);
    EXPECT_EQ("line\r\n", m_dir.ReadFile("20010909.LOG"));
}

TEST_F(LogFileTest, FailuresReturnFalseWithoutThrowing) {
    CLogFile lost;
    lost.SetLogDir(m_dir / "missing/");
    EXPECT_FALSE(lost.WriteLine("gone"));
    EXPECT_FALSE(FileExists(m_dir / "missing"));

    // A file that another opener holds exclusively loses the line and keeps its content.
    ASSERT_TRUE(m_log.WriteLine("kept"));
    {
        CFile holder;
        ASSERT_TRUE(holder.Open(m_log.CurrentFileName(), CFile::modeRead));
        EXPECT_FALSE(m_log.WriteLine("refused"));
    }
    EXPECT_EQ("kept\r\n", m_dir.ReadFile("LOG3_20010909.LOG"));

    // A write that fails after the open (file size limit standing in for a full disk).
    struct rlimit saved {};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &saved));
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tight = saved;
    tight.rlim_cur = 8;
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &tight));
    const bool written = m_log.WriteLine("a line too long for the limit");
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
}

TEST_F(LogFileTest, CreateDir) {
    EXPECT_TRUE(CLogFile::CreateDir(m_dir.Path()));
    EXPECT_TRUE(CLogFile::CreateDir(m_dir / "LOG/"));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "LOG"));
    EXPECT_TRUE(CLogFile::CreateDir(m_dir / "LOG"));
    EXPECT_FALSE(CLogFile::CreateDir(m_dir / "no/parent"));
    m_dir.WriteFile("plain", "x");
    EXPECT_FALSE(CLogFile::CreateDir(m_dir / "plain"));

    const std::string tooLong = m_dir / std::string(259 - m_dir.Path().size() + 1, 'd');
    ASSERT_EQ(260u, tooLong.size());
    EXPECT_FALSE(CLogFile::CreateDir(tooLong));
    EXPECT_FALSE(FileExists(tooLong));
    EXPECT_TRUE(CLogFile::CreateDir(tooLong.substr(0, 259)));
}
