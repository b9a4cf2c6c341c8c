#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <set>

#include <gtest/gtest.h>

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
    CFile file;
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
    EXPECT_FALSE(file.IsOpen());

    ASSERT_TRUE(file.Open(dir / "f", CFile::modeWrite));
    file.SeekToEnd();
    file.Write(" world", 6);
    file.Close();

    ASSERT_TRUE(file.Open(dir / "f", CFile::modeRead));
    char buffer[32];
    EXPECT_EQ(11, file.GetLength());
    EXPECT_EQ(11, file.Read(buffer, sizeof buffer));
    EXPECT_EQ("hello world", std::string(buffer, 11));
    EXPECT_EQ(0, file.Read(buffer, sizeof buffer));
    EXPECT_EQ(EBADF, ErrorOf([&] { file.Write("x", 1); }));  // opened for reading only
}

TEST(FileOps, OpenIsExclusive) {
    CTempDir dir;
    dir.WriteFile("held", "keep me");
    CFile holder, other;
    ASSERT_TRUE(holder.Open(dir / "held", CFile::modeRead));
    EXPECT_FALSE(other.Open(dir / "held", CFile::modeRead));
    EXPECT_FALSE(other.Open(dir / "held", CFile::modeWrite));
    EXPECT_FALSE(other.Open(dir / "held", CFile::modeCreate | CFile::modeWrite));
    EXPECT_EQ("keep me", dir.ReadFile("held"));  // a refused create never empties the file

    // A held file is neither copied from nor replaced by a copy.
    dir.WriteFile("other", "other");
    EXPECT_FALSE(CopyFile(dir / "held", dir / "copy"));
    EXPECT_FALSE(CopyFile(dir / "other", dir / "held"));
    EXPECT_EQ("keep me", dir.ReadFile("held"));

    holder.Close();
    EXPECT_TRUE(other.Open(dir / "held", CFile::modeWrite));
}

TEST(FileOps, RemoveAndRename) {
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
    EXPECT_FALSE(FileExists(dir / "a"));
    EXPECT_EQ("A", dir.ReadFile("sub/a2"));
    CFile::Remove(dir / "b");
    EXPECT_FALSE(FileExists(dir / "b"));
}

TEST(FileOps, RenameAcrossFileSystems) {
    CTempDir dir;
    char shmTemplate[] = "/dev/shm/rs232-test-XXXXXX";
    struct stat a {}, b {};
    if (!::mkdtemp(shmTemplate)) GTEST_SKIP() << "no /dev/shm";
    const std::string other = std::string(shmTemplate) + "/";
    ASSERT_EQ(0, ::stat(dir.Path().c_str(), &a));
    ASSERT_EQ(0, ::stat(other.c_str(), &b));
    if (a.st_dev != b.st_dev) {
        dir.WriteFile("moved", "payload");
        ::chmod((dir / "moved").c_str(), 0640);
        SetMtime(dir / "moved", 1000000000);
        dir.WriteFile(other + "taken", "there");
        EXPECT_EQ(EEXIST, ErrorOf([&] { CFile::Rename(dir / "moved", other + "taken"); }));
        EXPECT_EQ("payload", dir.ReadFile("moved"));

        CFile::Rename(dir / "moved", other + "moved");
        EXPECT_FALSE(FileExists(dir / "moved"));
        CFileStatus status;
        ASSERT_TRUE(GetStatus(other + "moved", status));
        EXPECT_EQ(1000000000, status.m_mtime);
        EXPECT_EQ((std::set<std::string>{"moved", "taken"}), Names(other));  // no temp left
    }
    std::filesystem::remove_all(other);
    if (a.st_dev == b.st_dev) GTEST_SKIP() << "/dev/shm is on the same file system";
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

TEST(FileOps, StatusAttributesAndClamping) {
    CTempDir dir;
    dir.WriteFile("ro", "12345");
    ASSERT_EQ(0, ::chmod((dir / "ro").c_str(), 0444));
    SetMtime(dir / "ro", 1000000000);
    dir.WriteFile(".dot", "");
    ASSERT_TRUE(MakeDir(dir / ".hiddendir"));

    CFileStatus s;
    EXPECT_FALSE(GetStatus(dir / "missing", s));
    ASSERT_TRUE(GetStatus(dir / "ro", s));
    EXPECT_EQ(0x21, s.m_attribute);
    EXPECT_EQ(5, s.m_size);
    EXPECT_EQ(1000000000, s.m_mtime);
    ASSERT_TRUE(GetStatus(dir / ".dot", s));
    EXPECT_EQ(0x22, s.m_attribute);
    ASSERT_TRUE(GetStatus(dir.Path(), s));  // trailing '/'
    EXPECT_EQ(0x10, s.m_attribute);
    ASSERT_TRUE(GetStatus(dir / ".hiddendir/", s));
    EXPECT_EQ(0x12, s.m_attribute);

    const int fd = ::open((dir / "big").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const off_t big = (off_t{3} << 30) + 7;
    const bool sparse = ::ftruncate(fd, big) == 0;
    ::close(fd);
    if (!sparse) GTEST_SKIP() << "file system refuses a 3 GiB sparse file";
    ASSERT_TRUE(GetStatus(dir / "big", s));
    EXPECT_EQ(INT32_MAX, s.m_size);
    EXPECT_EQ(big, s.m_size64);
}
