#include <gtest/gtest.h>

#include "link/Rs232Server.h"

namespace rs232 {
namespace {

TEST(PathTest, AbsolutePathsAreRecognisedByTheirFirstTwoCharacters) {
    for (const char* p : {"D:x", "\\share", "/tmp", "a:", "/", "\\"})
        EXPECT_EQ(CRs232Server::IsAbsolutePath(p), 1) << p;
    for (const char* p : {"data\\x", "x", "", "ab:c"})
        EXPECT_EQ(CRs232Server::IsAbsolutePath(p), 0) << p;
}

TEST(PathTest, RequestPathsResolveToLinuxPaths) {
    CRs232Server server;
    server.SetBasePath("/srv/data/");
    EXPECT_EQ(server.ResolvePath("file.txt"), "/srv/data/file.txt");
    EXPECT_EQ(server.ResolvePath("sub\\file.txt"), "/srv/data/sub/file.txt");
    EXPECT_EQ(server.ResolvePath("C:\\data\\a.txt"), "/data/a.txt");
    EXPECT_EQ(server.ResolvePath("c:data"), "/data");
    EXPECT_EQ(server.ResolvePath("a:"), "/");
    EXPECT_EQ(server.ResolvePath("\\in\\b.txt"), "/in/b.txt");
    EXPECT_EQ(server.ResolvePath("/tmp/x"), "/tmp/x");
    EXPECT_EQ(server.ResolvePath(""), "/srv/data/");
    // A base path typed without its final separator is joined as typed.
    server.SetBasePath("/srv/data");
    EXPECT_EQ(server.ResolvePath("file.txt"), "/srv/datafile.txt");
}

}  // namespace
}  // namespace rs232
