#include "platform/NewFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <random>

#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/PosixFile.h"

namespace rs232 {

using detail::CErrnoKeeper;

namespace {

// Why a new file may not take `name` in dir; 0 when it may. A link is followed for these checks
// only: a directory or a read-only file behind it is refused like the thing itself.
int RefuseReplace(int dir, const std::string& name, bool replace) {
    if (name.empty()) return ENOENT;
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, 0) != 0) return 0;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!replace) return EEXIST;
    if (!S_ISREG(st.st_mode)) return 0;
    if (!(st.st_mode & S_IWUSR)) return EACCES;
    // A file that someone holds open exclusively is not replaced under them.
    int error = 0;
    const int held = ::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (held >= 0) {
        if (::flock(held, LOCK_SH | LOCK_NB) != 0) error = errno;
        ::close(held);
    }
    return error;
}


}  // namespace

CDirectory::~CDirectory() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CDirectory::Open(const std::string& path) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_fd >= 0;
}

std::string CDirectory::RealPath() const {
    if (m_fd < 0) return {};
    char buffer[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(m_fd);
    const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer || buffer[0] != '/') return {};
    const std::string path(buffer, static_cast<size_t>(n));
    return path.ends_with(" (deleted)") ? std::string() : path;
}


CNewFile::~CNewFile() { Discard(); }

void CNewFile::Discard() {
    CErrnoKeeper keep;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_strTemp.empty() && !m_bCommitted) ::unlinkat(m_dir.m_fd, m_strTemp.c_str(), 0);
    m_strTemp.clear();
}

bool CNewFile::Create(bool replace) {
    Discard();
    m_bCommitted = false;
    if (const int error = m_dir.IsOpen() ? RefuseReplace(m_dir.m_fd, m_strName, replace) : EBADF) {
        errno = error;
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = CNewFile::NewTempFileName();
        const int fd = ::openat(m_dir.m_fd, temp.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        ::flock(fd, LOCK_EX);  // tells a start-up sweep that it is still being written
        m_fd = fd;
        m_strTemp = temp;
        return true;
    }
    errno = EEXIST;
    return false;
}

void CNewFile::Write(const void* data, int count) {
    WriteWhole(m_fd, m_strName, data, count);
}

bool CNewFile::SetTimesAndMode(const struct stat& like) {
    const struct timespec times[2] = {like.st_atim, like.st_mtim};
    return m_fd >= 0 && ::fchmod(m_fd, like.st_mode & 0777) == 0 && ::futimens(m_fd, times) == 0;
}

bool CNewFile::SetMode(unsigned mode) { return m_fd >= 0 && ::fchmod(m_fd, mode & 0777) == 0; }

bool CNewFile::Commit(bool replace, bool durable) {
    int error = m_fd < 0 ? EBADF : RefuseReplace(m_dir.m_fd, m_strName, replace);
    if (error == 0 && durable && ::fsync(m_fd) != 0) error = errno;
    const int dir = m_dir.m_fd;
    if (error == 0 && (replace ? ::renameat(dir, m_strTemp.c_str(), dir, m_strName.c_str())
                               : detail::RenameNoReplace(dir, m_strTemp, dir, m_strName)) != 0)
        error = errno;
    if (error != 0) {
        Discard();
        errno = error;
        return false;
    }
    m_bCommitted = true;
    Discard();               // closes; the name is the file's now
    if (durable) ::fsync(m_dir.m_fd);  // of the new name only; the file is complete either way
    return true;
}

int RemoveLeftoverTempFiles(const std::string& path) {
    DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
    if (!dir) return 0;
    int removed = 0;
    while (const struct dirent* entry = ::readdir(dir)) {
        if (!CNewFile::IsTempFileName(entry->d_name)) continue;
        const int fd = ::openat(::dirfd(dir), entry->d_name,
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st {};
        // One still locked is being written by another process right now.
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

bool CopyFileInto(const std::string& src, const CDirectory& dir, const std::string& name,
                  bool replace, const std::function<void()>& step) {
    struct stat st {};
    const int in = detail::OpenRegularLocked(src, O_RDONLY, LOCK_SH, st);
    if (in < 0) return false;
    CNewFile out(dir, name);
    bool ok = out.Create(replace);
    char buffer[64 * 1024];
    while (ok) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        try {
            out.Write(buffer, static_cast<int>(n));
        } catch (const CFileException& e) {
            errno = e.Error();
            ok = false;
        }
        if (ok && step) step();
    }
    ok = ok && out.SetTimesAndMode(st) && out.Commit(replace);
    CErrnoKeeper keep;
    ::close(in);
    return ok;
}

bool CopyFile(const std::string& src, const std::string& dst) {
    CDirectory dir;
    const std::string where = DirectoryOf(dst);
    return dir.Open(where) && CopyFileInto(src, dir, dst.substr(where.size()));
}

}  // namespace rs232
