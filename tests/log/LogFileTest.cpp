#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "log/LogFile.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

using namespace rs232;

namespace {

constexpr int64_t kSept9 = 1000000000;  // 2001-09-09 01:46:40 UTC

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        SetClockForTest([this] { return m_now; });
        for (CLogFile* log : {&m_log, &m_second}) {
            log->SetLogDir(m_dir.Path());
            log->SetPrefix("LOG3_");
        }
    }
    void TearDown() override { SetClockForTest({}); }

    int64_t m_now = kSept9;
    rs232::test::CTempDir m_dir;
    CLogFile m_log, m_second;
};

}  // namespace

TEST_F(LogFileTest, AppendsCrLfLinesToTheFileOfTheDay) {
    EXPECT_EQ(m_dir / "LOG3_20010909.LOG", m_log.CurrentFileName());
    EXPECT_EQ("01:46:40 ", MakeTimeStamp());
    m_dir.WriteFile("LOG3_20010909.LOG", "earlier run\r\n");
    ASSERT_TRUE(m_log.WriteLine("01:46:40 first"));
    ASSERT_TRUE(m_second.WriteLine("two\nlines"));  // a second run continues the same file
    ASSERT_TRUE(m_second.WriteLine(""));
    const std::string day1 = "earlier run\r\n01:46:40 first\r\ntwo\nlines\r\n\r\n";
    EXPECT_EQ(day1, m_dir.ReadFile("LOG3_20010909.LOG"));

    m_now = kSept9 + 86400;  // the next day starts a new file; the old one is left alone
    ASSERT_TRUE(m_log.WriteLine("next day"));
    EXPECT_EQ("next day\r\n", m_dir.ReadFile("LOG3_20010910.LOG"));
    EXPECT_EQ(day1, m_dir.ReadFile("LOG3_20010909.LOG"));

    // Without directory and prefix the file lies in the current directory.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
    CLogFile bare;
    EXPECT_EQ("20010910.LOG", bare.CurrentFileName());
    const bool written = bare.WriteLine("line");
    std::filesystem::current_path(previous);
    EXPECT_TRUE(written);
    EXPECT_EQ("line\r\n", m_dir.ReadFile("20010910.LOG"));
}

TEST_F(LogFileTest, FailuresReturnFalseWithoutThrowing) {
    m_second.SetLogDir(m_dir / "missing/");
    EXPECT_FALSE(m_second.WriteLine("gone"));
    EXPECT_FALSE(FileExists(m_dir / "missing"));

    // A file that another opener holds exclusively loses the line and keeps its content.
    ASSERT_TRUE(m_log.WriteLine("kept"));
    {
        CFile holder;
        ASSERT_TRUE(holder.Open(m_log.CurrentFileName(), CFile::modeRead));
        EXPECT_FALSE(m_log.WriteLine("refused"));
    }
    EXPECT_EQ("kept\r\n", m_dir.ReadFile("LOG3_20010909.LOG"));

}

TEST_F(LogFileTest, CreateDir) {
    EXPECT_TRUE(CLogFile::CreateDir(m_dir / "LOG/"));
    EXPECT_TRUE(std::filesystem::is_directory(m_dir / "LOG"));
    EXPECT_TRUE(CLogFile::CreateDir(m_dir / "LOG"));
    EXPECT_FALSE(CLogFile::CreateDir(m_dir / "no/parent"));
    m_dir.WriteFile("plain", "x");
    EXPECT_FALSE(CLogFile::CreateDir(m_dir / "plain"));
    EXPECT_FALSE(CLogFile::CreateDir(m_dir / std::string(260 - m_dir.Path().size(), 'd')));
}
