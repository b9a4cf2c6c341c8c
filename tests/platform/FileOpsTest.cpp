// The file layer's guarantees that the requests rely on: exclusive opens, no stall on a FIFO,
// copies that replace whole or not at all, moves across file systems, canonical paths and the
// listing's attributes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "platform/DirSearch.h"
#include "platform/FileOps.h"
#include "support/TempDir.h"

using namespace rs232;
using rs232::test::CTempDir;

namespace {

void SetMtime(const std::string& path, time_t t) {
    const struct timespec times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), times, 0));
}

int ErrorOf(auto&& operation) {
    try {
        operation();
    } catch (const CFileException& e) {
        return e.Error();
    }
    return 0;
}

}  // namespace

TEST(FileOps, ExclusiveOpensAndWholeCopies) {
    CTempDir dir;
    CFile file, other;
    ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0600));
    EXPECT_FALSE(file.Open(dir / "fifo", CFile::modeRead));  // refused at once, never a stall
    EXPECT_FALSE(file.Open(dir.Path(), CFile::modeRead));
    dir.WriteFile("src", std::string(200000, 'x'));
    ASSERT_EQ(0, ::chmod((dir / "src").c_str(), 0444));
    SetMtime(dir / "src", 1000000000);
    dir.WriteFile("dst", "previous");
    ASSERT_TRUE(CopyFile(dir / "src", dir / "dst"));
    struct stat st {};
    ASSERT_EQ(0, ::stat((dir / "dst").c_str(), &st));
    EXPECT_EQ(std::string(200000, 'x'), dir.ReadFile("dst"));
    EXPECT_EQ(0444u, st.st_mode & 07777);
    EXPECT_EQ(1000000000, st.st_mtim.tv_sec);
    // A held file is neither opened again, emptied, copied nor replaced.
    dir.WriteFile("f", "held");
    ASSERT_TRUE(file.Open(dir / "f", CFile::modeWrite));
    EXPECT_FALSE(other.Open(dir / "f", CFile::modeCreate | CFile::modeWrite));
    EXPECT_FALSE(CopyFile(dir / "f", dir / "copy") || CopyFile(dir / "dst", dir / "f"));
    EXPECT_EQ("held", dir.ReadFile("f"));
    file.Close();
    EXPECT_TRUE(other.Open(dir / "f", CFile::modeWrite));
    // Failed copies leave the destination and the directory as they were.
    ASSERT_TRUE(MakeDir(dir / "sub"));
    EXPECT_FALSE(CopyFile(dir / "sub", dir / "f") || CopyFile(dir / "src", dir / "sub") || CopyFile(dir / "src", dir / "no/f"));
    EXPECT_EQ("held", dir.ReadFile("f"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "sub"));
    EXPECT_EQ(4, std::distance(std::filesystem::directory_iterator(dir.Path()), {}) - 1);
}

// A move to another file system copies and deletes; it must still refuse an existing name and
// keep the time.
TEST(FileOps, RenameAcrossFileSystemsAndCanonicalPaths) {
    CTempDir dir, shm;
    dir.WriteFile("a", "A");
    dir.WriteFile("b", "B");
    EXPECT_EQ(EEXIST, ErrorOf([&] { CFile::Rename(dir / "a", dir / "b"); }));
    EXPECT_EQ("A", dir.ReadFile("a"));
    char shmTemplate[] = "/dev/shm/rs232-test-XXXXXX";
    if (::mkdtemp(shmTemplate)) {
        const std::string other = std::string(shmTemplate) + "/";
        SetMtime(dir / "a", 1000000000);
        std::filesystem::copy_file(dir / "b", other + "b");
        EXPECT_EQ(EEXIST, ErrorOf([&] { CFile::Rename(dir / "a", other + "b"); }));
        CFile::Rename(dir / "a", other + "a");
        CFileStatus status;
        EXPECT_TRUE(!FileExists(dir / "a") && GetStatus(other + "a", status) && status.m_mtime == 1000000000);
        std::filesystem::remove_all(other);
    }
    const std::string real = CanonicalPath(dir.Path());
    ASSERT_TRUE(MakeDir(dir / "sub"));
    ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "l").c_str()), 0);
    EXPECT_EQ(CanonicalPath(dir / "l/new/../x"), real + "/sub/x");
    EXPECT_EQ(CanonicalPath(dir / "sub/./b/../../.."), CanonicalPath(dir / ".."));
    EXPECT_EQ(CanonicalPath("/../../etc/./passwd"), "/etc/passwd");
}

TEST(FileOps, ListingAttributes) {
    CTempDir dir;
    dir.WriteFile("ro", std::string(500, 'r'));
    ASSERT_EQ(0, ::chmod((dir / "ro").c_str(), 0444));
    SetMtime(dir / "ro", 1000000000);
    dir.WriteFile(".dot", "");
    ASSERT_TRUE(MakeDir(dir / ".hid"));
    ASSERT_EQ(0, ::symlink("ro", (dir / "link").c_str()));
    ASSERT_EQ(0, ::symlink("nowhere", (dir / "dangling").c_str()));
    // The listing has "." and "..", follows links and gives a dangling one zeros.
    std::map<std::string, std::string> seen;
    CDirSearch search;
    CFindData e;
    for (bool more = search.FindFirst(dir.Path(), e); more; more = search.FindNext(e))
        seen[e.name] = std::to_string(e.attrib) + (e.name.starts_with('.') ? "" : ";" + std::to_string(e.size) + ";" + std::to_string(e.time));
    const std::map<std::string, std::string> expected = {
        {"ro", "33;500;1000000000"}, {"link", "33;500;1000000000"}, {"dangling", "32;0;0"},
        {".dot", "34"}, {".", "16"}, {"..", "16"}, {".hid", "18"}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(search.FindFirst(dir / "missing", e) || search.FindFirst(dir / "ro", e));
}
