// What the requests cannot show of the file layer: a held file is left alone, and a move to
// another file system (a copy and a delete) still refuses an existing name and keeps the time.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "platform/FileOps.h"
#include "support/TempDir.h"

using namespace rs232;

TEST(FileOps, HeldFilesAndMovesAcrossFileSystems) {
    rs232::test::CTempDir dir;
    CFile file, other;
    dir.WriteFile("f", "held");
    dir.WriteFile("g", "other");
    ASSERT_TRUE(file.Open(dir / "f", CFile::modeWrite));
    EXPECT_FALSE(other.Open(dir / "f", CFile::modeCreate | CFile::modeWrite));
    EXPECT_FALSE(CopyFile(dir / "f", dir / "copy") || CopyFile(dir / "g", dir / "f"));
    EXPECT_EQ("held", dir.ReadFile("f"));
    file.Close();
    EXPECT_TRUE(other.Open(dir / "f", CFile::modeWrite));
    other.Close();

    char shm[] = "/dev/shm/rs232-test-XXXXXX";
    if (!::mkdtemp(shm)) GTEST_SKIP() << "no /dev/shm";
    const std::string away = std::string(shm) + "/";
    const struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dir / "f").c_str(), times, 0));
    std::filesystem::copy_file(dir / "g", away + "g");
    int error = 0;
    try {
        CFile::Rename(dir / "f", away + "g");
    } catch (const CFileException& e) {
        error = e.Error();
    }
    EXPECT_EQ(EEXIST, error);
    EXPECT_EQ("other", dir.ReadFile(away + "g"));
    CFile::Rename(dir / "f", away + "f");
    CFileStatus status;
    EXPECT_TRUE(!FileExists(dir / "f") && GetStatus(away + "f", status) && status.m_mtime == 1000000000);
    EXPECT_EQ("held", dir.ReadFile(away + "f"));
    std::filesystem::remove_all(away);
}
