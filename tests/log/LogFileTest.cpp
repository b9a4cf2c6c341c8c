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
        l->SetPort(3);
    }
    EXPECT_EQ("01:46:40 ", MakeTimeStamp());
    dir.WriteFile("LOG3_20010909.LOG", "earlier run\r\n");
    ASSERT_TRUE(log.WriteLine("01:46:40 first") && second.WriteLine("two\nlines") && second.WriteLine(""));
    const std::string day1 = "earlier run\r\n01:46:40 first\r\ntwo\nlines\r\n\r\n";
    {
        CFile holder;  // a reader of the log (a download of it) never keeps a line out
        ASSERT_TRUE(holder.Open(log.CurrentFileName(), CFile::modeRead));
        EXPECT_TRUE(log.WriteLine("appended"));
    }
    EXPECT_EQ(day1 + "appended\r\n", dir.ReadFile("LOG3_20010909.LOG"));
    now += 86400;
    ASSERT_TRUE(log.WriteLine("next day"));
    EXPECT_EQ("next day\r\n", dir.ReadFile("LOG3_20010910.LOG"));
    EXPECT_EQ(day1 + "appended\r\n", dir.ReadFile("LOG3_20010909.LOG"));
    missing.SetLogDir(dir / "missing/");  // a removed log directory is made again
    EXPECT_TRUE(missing.WriteLine("made again") && FileExists(dir / "missing"));
    missing.SetLogDir(dir / "no/parent/");
    EXPECT_FALSE(missing.WriteLine("gone"));
    // Without directory and port the file lies in the current directory.
    EXPECT_EQ("20010910.LOG", CLogFile().CurrentFileName());
    SetClockForTest({});
}
