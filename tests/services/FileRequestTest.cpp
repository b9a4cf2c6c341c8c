// DF, CF, DL and one whole upload over a pseudo-terminal: the requests that send no reply.
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>

#include "ServerFixture.h"
#include "platform/FileOps.h"

namespace rs232::test {
namespace {

TEST_F(ServerOnPty, DeleteAndCopy) {
    WriteFile("a.txt", "new content");
    WriteFile("b.txt", "old content that is longer");
    EXPECT_EQ(Quiet("CF", 0, "b.txt\na.txt"),
              "File " + base / "a.txt" + " copied to " + base / "b.txt" + "!");
    EXPECT_EQ(base.ReadFile("b.txt"), "new content");
    EXPECT_EQ(Quiet("CF", 0, "c.txt\nnone.txt"),
              "Requested File " + base / "none.txt" + " not found");

    ASSERT_EQ(mkdir((base / "dir").c_str(), 0755), 0);
    EXPECT_EQ(Quiet("CF", 0, "c.txt\ndir"),
              "Error CopyFile " + base / "dir" + " to " + base / "c.txt" + "!");
    // An empty source part is the base path itself, a directory.
    EXPECT_EQ(Quiet("CF", 0, "c.txt\n"),
              "Error CopyFile " + base.Path() + " to " + base / "c.txt" + "!");
    EXPECT_FALSE(FileExists(base / "c.txt"));
    EXPECT_EQ(Quiet("CF", 1, "c.txt\na.txt"), "Error: CF Block only with CNT 0 allowed");

    EXPECT_EQ(Quiet("DF", 0, base / "a.txt"), "File " + base / "a.txt" + " Removed!");
    EXPECT_FALSE(FileExists(base / "a.txt"));
    EXPECT_EQ(Quiet("DF", 0, "a.txt"), "Requested File " + base / "a.txt" + " not found");

    // A directory cannot be deleted: the error leaves Poll, and the next request is served.
    EXPECT_THROW(Request("DF", 0, "dir").get(), CFileException);
    EXPECT_TRUE(FileExists(base / "dir"));
    EXPECT_EQ(Quiet("DF", 0, "b.txt"), "File " + base / "b.txt" + " Removed!");
}

TEST_F(ServerOnPty, DirectoryListing) {
    ASSERT_EQ(mkdir((base / "d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((base / "d/sub").c_str(), 0755), 0);
    WriteFile("d/A.TXT", std::string(500, 'a'), 1000000000);
    WriteFile("list.txt", std::string(5000, '#'));  // replaced, not appended to

    EXPECT_EQ(Quiet("DL", 0, "list.txt\nd/"),
              "Directory " + base / "d/" + " written to File " + base / "list.txt" + "!");
    std::set<std::string> expected{"A.TXT;500;1000000000;20"};
    for (const char* name : {".", "..", "sub"}) {
        struct stat st {};
        ASSERT_EQ(stat((base / "d/" + name).c_str(), &st), 0);
        expected.insert(std::string(name) + ";" + std::to_string(st.st_size) + ";" +
                        std::to_string(st.st_mtime) + ";10");
    }
    const std::string listing = base.ReadFile("list.txt");
    ASSERT_TRUE(listing.ends_with("\r\n"));
    std::set<std::string> lines;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        ASSERT_TRUE(line.ends_with('\r'));
        lines.insert(line.substr(0, line.size() - 1));
    }
    EXPECT_EQ(lines, expected);

    EXPECT_EQ(Quiet("DL", 0, "l2.txt\nmissing/"),
              "Requested Path " + base / "missing" + " not found");
    EXPECT_EQ(Quiet("DL", 0, base / "no/such/l.txt\nd/"),
              "Cannot create list file " + base / "no/such/l.txt");
    EXPECT_FALSE(FileExists(base / "l2.txt"));
}

TEST_F(ServerOnPty, UploadOverTheLine) {
    ASSERT_EQ(mkdir((base / "BAK").c_str(), 0755), 0);
    server.SetBackupPath(base / "BAK/");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(base.Path().c_str()), 0);
    EXPECT_EQ(Quiet("FT", 0, "up.txt;12"), "Receiving File " + base / "up.txt" + "...");
    EXPECT_EQ(Quiet("FT", 1, "Hello, "), "");
    EXPECT_EQ(Quiet("FT", 2, "world"), "");
    EXPECT_EQ(Quiet("FT", -1, ""),
              "Receiving and Copy and Rename (Backup) File " + base / "up.txt" + " OK!");
    EXPECT_EQ(base.ReadFile("up.txt"), "Hello, world");
    EXPECT_FALSE(FileExists(base / "FT_TMP03.TMP"));
    ASSERT_EQ(chdir(cwd), 0);
}

}  // namespace
}  // namespace rs232::test
