// Uploads onto a full disk: a small tmpfs holds the server's working directory, base path,
// target and backups. Whatever does not fit, the old target stays whole and the log says what
// went wrong. Needs root for the mount; skipped otherwise.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>

#include "ServedServer.h"

namespace rs232::test {
namespace {

// A tmpfs of `size` on dir, unmounted (lazily, whoever still uses it) when the object dies.
class CSmallDisk {
public:
    CSmallDisk(const std::string& dir, const std::string& size) : m_dir(dir) {
        std::filesystem::create_directory(dir);
        m_mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~CSmallDisk() {
        if (m_mounted) umount2(m_dir.c_str(), MNT_DETACH);
    }
    CSmallDisk(const CSmallDisk&) = delete;
    CSmallDisk& operator=(const CSmallDisk&) = delete;
    bool Mounted() const { return m_mounted; }

private:
    std::string m_dir;
    bool m_mounted = false;
};

TEST(FullDisk, UploadThatDoesNotFitLeavesOldTargetWhole) {
    CTempDir dir;
    CPty pty;
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    CSmallDisk disk(dir / "disk", "32k");  // 8 pages
    if (!disk.Mounted()) GTEST_SKIP() << "mount refused";
    const std::string base = dir / "disk/";
    const std::string target = base + "target.bin";
    const Bytes old = Pattern(8000, 1);
    WriteBytes(target, old);

    // Declared after the disk: stopped before it goes.
    CServedServer server(dir, pty.SlavePath(), base, base);
    ASSERT_TRUE(server.Started()) << server.Err();

    // Not even the temp file fits: the writes fail (told to the operator on stderr), and the
    // end block finds the size short.
    size_t mark = server.Out().size();
    ASSERT_TRUE(Upload(pty, "target.bin", Pattern(40000, 2)));
    EXPECT_TRUE(server.WaitFor("FTBlockReceived: Receiving File Size ERROR", 10s, mark))
        << server.Out().substr(mark);
    EXPECT_NE(server.Err(), "");
    EXPECT_TRUE(ReadBytes(target) == old);

    // The temp file fits, its copy over the target does not: the file is kept in the backup
    // directory and the log says the copy failed.
    mark = server.Out().size();
    const Bytes fresh = Pattern(14000, 3);
    ASSERT_TRUE(Upload(pty, "target.bin", fresh));
    EXPECT_TRUE(server.WaitFor(
        "Receiving and Rename (Backup) File " + target + " OK. Copy failed !!!", 10s, mark))
        << server.Out().substr(mark);
    EXPECT_TRUE(ReadBytes(target) == old);
    bool backedUp = false;
    for (const auto& entry : std::filesystem::directory_iterator(base + "BAK"))
        backedUp = backedUp || ReadBytes(entry.path()) == fresh;
    EXPECT_TRUE(backedUp);

    // Still serving.
    EXPECT_TRUE(Connect(pty));
    EXPECT_TRUE(server.Running());
    server.Kill();
}

}  // namespace
}  // namespace rs232::test
