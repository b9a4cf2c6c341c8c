#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include <gtest/gtest.h>

#include "platform/DirSearch.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

using namespace rs232;
using rs232::test::CTempDir;

TEST(DirSearch, ListsEveryEntryWithStatus) {
    CTempDir dir;
    dir.WriteFile("a.txt", std::string(500, 'a'));
    const struct timespec t[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dir / "a.txt").c_str(), t, 0));
    dir.WriteFile(".hid", "");
    ASSERT_TRUE(MakeDir(dir / "sub"));
    ASSERT_EQ(0, ::symlink("a.txt", (dir / "link").c_str()));
    ASSERT_EQ(0, ::symlink("nowhere", (dir / "dangling").c_str()));

    std::map<std::string, CFindData> seen;
    CDirSearch search;
    CFindData e;
    for (bool more = search.FindFirst(dir.Path(), e); more; more = search.FindNext(e))
        EXPECT_TRUE(seen.emplace(e.name, e).second) << e.name;
    EXPECT_FALSE(search.FindNext(e));
    search.Close();

    ASSERT_EQ(7u, seen.size());
    EXPECT_EQ(0x10u, seen["."].attrib);
    EXPECT_EQ(0x10u, seen[".."].attrib);
    EXPECT_EQ(0x10u, seen["sub"].attrib);
    EXPECT_EQ(0x22u, seen[".hid"].attrib);
    for (const char* name : {"a.txt", "link"}) {  // links are followed
        EXPECT_EQ(500, seen[name].size) << name;
        EXPECT_EQ(1000000000, seen[name].time) << name;
        EXPECT_EQ(0x20u, seen[name].attrib) << name;
    }
    EXPECT_EQ(0, seen["dangling"].size);
    EXPECT_EQ(0, seen["dangling"].time);
    EXPECT_EQ(0x20u, seen["dangling"].attrib);

    EXPECT_FALSE(search.FindFirst(dir / "missing", e));
    EXPECT_FALSE(search.FindFirst(dir / "a.txt", e));
    EXPECT_FALSE(search.FindNext(e));
}
