#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <set>

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

std::set<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
    return names;
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

TEST(FileOps, OpenReadWriteAndRefusedOpens) {
    CTempDir dir;
    CFile file, other;
    EXPECT_FALSE(file.Open(dir / "missing", CFile::modeRead));
    EXPECT_FALSE(file.Open(dir / "missing", CFile::modeWrite));
    EXPECT_FALSE(file.Open(dir.Path(), CFile::modeRead));
    EXPECT_EQ(EISDIR, errno);
    // A FIFO must be refused at once rather than stall the single thread.
    ASSERT_EQ(0, ::mkfifo((dir / "fifo").c_str(), 0600));
    EXPECT_FALSE(file.Open(dir / "fifo", CFile::modeRead));

    dir.WriteFile("f", "old content");
    ASSERT_TRUE(file.Open(dir / "f", CFile::modeCreate | CFile::modeWrite));
    EXPECT_EQ(0, file.GetLength());
    file.Write("hello", 5);
    file.Close();
    ASSERT_TRUE(file.Open(dir / "f", CFile::modeWrite));
    file.SeekToEnd();
    file.Write(" world", 6);
    file.Close();
    ASSERT_TRUE(file.Open(dir / "f", CFile::modeRead));
    char buffer[32];
    EXPECT_EQ(11, file.Read(buffer, sizeof buffer));
    EXPECT_EQ("hello world", std::string(buffer, 11));
    EXPECT_EQ(0, file.Read(buffer, sizeof buffer));
    EXPECT_EQ(EBADF, ErrorOf([&] { file.Write("x", 1); }));  // opened for reading only

    // Opens are exclusive: a held file is neither opened again, emptied, copied nor replaced.
    EXPECT_FALSE(other.Open(dir / "f", CFile::modeCreate | CFile::modeWrite));
    dir.WriteFile("g", "other");
    EXPECT_FALSE(CopyFile(dir / "f", dir / "copy") || CopyFile(dir / "g", dir / "f"));
    EXPECT_EQ("hello world", dir.ReadFile("f"));
    file.Close();
    EXPECT_TRUE(other.Open(dir / "f", CFile::modeWrite));
}

// A move to another file system copies and deletes; it must still refuse an existing name and
// leave nothing behind.
TEST(FileOps, RenameAcrossFileSystems) {
    CTempDir dir;
    char shmTemplate[] = "/dev/shm/rs232-test-XXXXXX";
    if (!::mkdtemp(shmTemplate)) GTEST_SKIP() << "no /dev/shm";
    const std::string other = std::string(shmTemplate) + "/";
    struct stat a {}, b {};
    ::stat(dir.Path().c_str(), &a);
    ::stat(other.c_str(), &b);
    if (a.st_dev != b.st_dev) {
        dir.WriteFile("moved", "payload");
        SetMtime(dir / "moved", 1000000000);
        dir.WriteFile(other + "taken", "there");
        EXPECT_EQ(EEXIST, ErrorOf([&] { CFile::Rename(dir / "moved", other + "taken"); }));
        CFile::Rename(dir / "moved", other + "moved");
        EXPECT_FALSE(FileExists(dir / "moved"));
        CFileStatus status;
        ASSERT_TRUE(GetStatus(other + "moved", status));
        EXPECT_EQ(1000000000, status.m_mtime);
        EXPECT_EQ((std::set<std::string>{"moved", "taken"}), Names(other));
    }
    std::filesystem::remove_all(other);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
}

TEST(FileOps, RemoveRenameAndCanonicalPath) {
    CTempDir dir;
    ASSERT_TRUE(MakeDir(dir / "sub"));
    EXPECT_FALSE(MakeDir(dir / "sub"));
    EXPECT_NE(0, ErrorOf([&] { CFile::Remove(dir / "sub"); }));
    EXPECT_TRUE(std::filesystem::is_directory(dir / "sub"));
    EXPECT_EQ(ENOENT, ErrorOf([&] { CFile::Remove(dir / "missing"); }));

    dir.WriteFile("a", "A");
    dir.WriteFile("b", "B");
    EXPECT_EQ(EEXIST, ErrorOf([&] { CFile::Rename(dir / "a", dir / "b"); }));
    EXPECT_EQ("A", dir.ReadFile("a"));
    EXPECT_EQ("B", dir.ReadFile("b"));
    CFile::Rename(dir / "a", dir / "sub/a2");
    CFile::Remove(dir / "b");
    EXPECT_EQ((std::set<std::string>{"sub"}), Names(dir.Path()));
    EXPECT_EQ("A", dir.ReadFile("sub/a2"));

    // Dots are taken out and links of the existing part resolved.
    const std::string real = CanonicalPath(dir.Path());
    ASSERT_EQ(symlink((dir / "sub").c_str(), (dir / "l").c_str()), 0);
    EXPECT_EQ(CanonicalPath(dir / "l/new/../x"), real + "/sub/x");
    EXPECT_EQ(CanonicalPath(dir / "sub/./b/../../.."), CanonicalPath(dir / ".."));
    EXPECT_EQ(CanonicalPath("/../../etc/./passwd"), "/etc/passwd");
}

TEST(FileOps, CopyReplacesAtomicallyAndKeepsTimeAndMode) {
    CTempDir dir;
    dir.WriteFile("src", std::string(200000, 'x'));
    ASSERT_EQ(0, ::chmod((dir / "src").c_str(), 0444));
    SetMtime(dir / "src", 1000000000);
    dir.WriteFile("dst", "previous");
    ASSERT_TRUE(CopyFile(dir / "src", dir / "dst"));
    EXPECT_EQ(std::string(200000, 'x'), dir.ReadFile("dst"));
    struct stat st {};
    ASSERT_EQ(0, ::stat((dir / "dst").c_str(), &st));
    EXPECT_EQ(0444u, st.st_mode & 07777);
    EXPECT_EQ(1000000000, st.st_mtim.tv_sec);

    // Failures leave the destination and the directory as they were.
    ASSERT_TRUE(MakeDir(dir / "sub"));
    dir.WriteFile("keep", "previous");
    EXPECT_FALSE(CopyFile(dir / "sub", dir / "keep"));
    EXPECT_FALSE(CopyFile(dir / "missing", dir / "keep"));
    EXPECT_EQ("previous", dir.ReadFile("keep"));
    EXPECT_FALSE(CopyFile(dir / "src", dir / "sub"));
    EXPECT_TRUE(std::filesystem::is_empty(dir / "sub"));
    EXPECT_FALSE(CopyFile(dir / "src", dir / "nodir/dst"));
    EXPECT_EQ((std::set<std::string>{"src", "dst", "keep", "sub"}), Names(dir.Path()));
}

TEST(FileOps, StatusAndListingAttributes) {
    CTempDir dir;
    dir.WriteFile("ro", std::string(500, 'r'));
    ASSERT_EQ(0, ::chmod((dir / "ro").c_str(), 0444));
    SetMtime(dir / "ro", 1000000000);
    dir.WriteFile(".dot", "");
    ASSERT_TRUE(MakeDir(dir / ".hid"));
    ASSERT_EQ(0, ::symlink("ro", (dir / "link").c_str()));
    ASSERT_EQ(0, ::symlink("nowhere", (dir / "dangling").c_str()));

    CFileStatus s;
    EXPECT_FALSE(GetStatus(dir / "missing", s));
    ASSERT_TRUE(GetStatus(dir / "ro", s));
    EXPECT_EQ(0x21, s.m_attribute);
    EXPECT_EQ(500, s.m_size);
    EXPECT_EQ(1000000000, s.m_mtime);
    ASSERT_TRUE(GetStatus(dir.Path(), s));  // trailing '/'
    EXPECT_EQ(0x10, s.m_attribute);
    ASSERT_TRUE(GetStatus(dir / ".hid/", s));
    EXPECT_EQ(0x12, s.m_attribute);

    // The listing has "." and "..", follows links and gives a dangling one zeros.
    std::map<std::string, CFindData> seen;
    CDirSearch search;
    CFindData e;
    for (bool more = search.FindFirst(dir.Path(), e); more; more = search.FindNext(e))
        EXPECT_TRUE(seen.emplace(e.name, e).second) << e.name;
    EXPECT_FALSE(search.FindNext(e));
    const std::map<std::string, std::tuple<long, long, unsigned>> expected = {
        {"ro", {500, 1000000000, 0x21u}},  {"link", {500, 1000000000, 0x21u}},
        {".dot", {0, -1, 0x22u}},           {"dangling", {0, 0, 0x20u}},
        {".", {-1, -1, 0x10u}},             {"..", {-1, -1, 0x10u}},
        {".hid", {-1, -1, 0x12u}}};
    ASSERT_EQ(expected.size(), seen.size());
    for (const auto& [name, want] : expected) {
        const auto& [size, time, attrib] = want;
        EXPECT_EQ(attrib, seen[name].attrib) << name;
        EXPECT_EQ(size < 0 ? seen[name].size : size, seen[name].size) << name;
        EXPECT_EQ(time < 0 ? seen[name].time : time, seen[name].time) << name;
    }
    EXPECT_FALSE(search.FindFirst(dir / "missing", e));
    EXPECT_FALSE(search.FindFirst(dir / "ro", e));

}
