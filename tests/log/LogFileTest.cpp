#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "log/LogFile.h"
#include "platform/Clock.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

using namespace rs232;

// CR LF lines appended to the file of the day, a second writer continuing it, the next day in a
// new file; failures return false and lose nothing that was written.
TEST(LogFile, DailyFilesAndFailures) {
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    int64_t now = 1000000000;  // 2001-09-09 01:46:40 UTC
    SetClockForTest([&] { return now; });
    rs232::test::CTempDir dir;
    CLogFile log, second, missing;
    for (CLogFile* l : {&log, &second, &missing}) {
        l->SetLogDir(dir.Path());
        l->SetPrefix("LOG3_");
    }
    EXPECT_EQ("01:46:40 ", MakeTimeStamp());
    dir.WriteFile("LOG3_20010909.LOG", "earlier run\r\n");
    ASSERT_TRUE(log.WriteLine("01:46:40 first") && second.WriteLine("two\nlines") && second.WriteLine(""));
    const std::string day1 = "earlier run\r\n01:46:40 first\r\ntwo\nlines\r\n\r\n";
    {
        CFile holder;  // held exclusively by another opener: the line is lost, the file kept
        ASSERT_TRUE(holder.Open(log.CurrentFileName(), CFile::modeRead));
        EXPECT_FALSE(log.WriteLine("refused"));
    }
    EXPECT_EQ(day1, dir.ReadFile("LOG3_20010909.LOG"));
    now += 86400;
    ASSERT_TRUE(log.WriteLine("next day"));
    EXPECT_EQ("next day\r\n", dir.ReadFile("LOG3_20010910.LOG"));
    EXPECT_EQ(day1, dir.ReadFile("LOG3_20010909.LOG"));
    missing.SetLogDir(dir / "missing/");
    EXPECT_FALSE(missing.WriteLine("gone"));
    EXPECT_FALSE(FileExists(dir / "missing"));
    // Without directory and prefix the file lies in the current directory.
    EXPECT_EQ("20010910.LOG", CLogFile().CurrentFileName());
    // Directories: made once, taken when they exist, refused without parent or over a file.
    EXPECT_TRUE(CLogFile::CreateDir(dir / "LOG/") && CLogFile::CreateDir(dir / "LOG"));
    EXPECT_FALSE(CLogFile::CreateDir(dir / "no/parent") || CLogFile::CreateDir(dir / "LOG3_20010909.LOG"));
    SetClockForTest({});
}
