#include "platform/FileOps.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>
#include <vector>
#include <system_error>
#include <utility>

#include "platform/StatMap.h"

namespace rs232 {

// ---------------------------------------------------------------------------------------------
// stat() mapping shared with the directory search

namespace detail {

uint8_t AttributesOf(const struct stat& st, std::string_view name) {
    uint8_t attrib = 0;
    if (S_ISDIR(st.st_mode))
        attrib |= kAttrDirectory;
    else if (S_ISREG(st.st_mode))
        attrib |= kAttrArchive;
    if (!(st.st_mode & S_IWUSR)) attrib |= kAttrReadOnly;

    while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
    const size_t slash = name.rfind('/');
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    if (name.starts_with('.') && name != "." && name != "..") attrib |= kAttrHidden;
    return attrib;
}

int32_t ClampSize(int64_t size) {
    if (size > INT32_MAX) return INT32_MAX;
    if (size < 0) return 0;
    return static_cast<int32_t>(size);
}

int32_t ClampTime(int64_t seconds) {
    if (seconds > INT32_MAX) return INT32_MAX;
    if (seconds < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(seconds);
}

}  // namespace detail

namespace {

// Keeps errno across the clean-up calls of a failure path.
class CErrnoKeeper {
public:
    CErrnoKeeper() : m_saved(errno) {}
    ~CErrnoKeeper() { errno = m_saved; }

private:
    int m_saved;
};

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {  // nothing taken and no error: treat as a full device
            errno = ENOSPC;
            return false;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// renameat() that never replaces an existing newName. File systems without RENAME_NOREPLACE get
// a check before a plain rename (a small window, but no worse than the platform allows).
int RenameNoReplace(int oldDir, const std::string& oldName, int newDir,
                    const std::string& newName) {
    if (::renameat2(oldDir, oldName.c_str(), newDir, newName.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return -1;
    struct stat st {};
    if (::fstatat(newDir, newName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(oldDir, oldName.c_str(), newDir, newName.c_str());
}

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

std::string TempFileName() {
    static const char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::string name = CNewFile::kTempFilePrefix;
    for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
    return name;
}

// Opens a regular file and takes an flock of the given kind without waiting. O_NONBLOCK keeps a
// FIFO from stalling the open; directories (EISDIR) and other non-regular files (EINVAL) are
// refused. The descriptor, or -1 with errno set.
int OpenRegularLocked(const std::string& path, int access, int lock, struct stat& st) {
    const int fd = ::open(path.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return -1;
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (::flock(fd, lock | LOCK_NB) != 0)  // someone holds it open exclusively
        error = errno;
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// Copies the regular file src to `name` in dir through a CNewFile (see Commit for `replace`).
bool CopyInto(const std::string& src, const CDirectory& dir, const std::string& name,
              bool replace) {
    struct stat st {};
    const int in = OpenRegularLocked(src, O_RDONLY, LOCK_SH, st);
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
    }
    ok = ok && out.SetTimesAndMode(st) && out.Commit(replace);
    CErrnoKeeper keep;
    ::close(in);
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

CFileException::CFileException(std::string operation, std::string path, int error)
    : std::runtime_error(operation + " " + path + ": " + std::generic_category().message(error)),
      m_strOperation(std::move(operation)),
      m_strPath(std::move(path)),
      m_nError(error) {}

bool GetStatus(const std::string& path, CFileStatus& status) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    status.m_size64 = st.st_size;
    status.m_size = detail::ClampSize(st.st_size);
    status.m_mtime = detail::ClampTime(st.st_mtim.tv_sec);
    status.m_attribute = detail::AttributesOf(st, path);
    return true;
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool MakeDir(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

bool CopyFileInto(const std::string& src, const CDirectory& dir, const std::string& name) {
    return CopyInto(src, dir, name, true);
}

bool CopyFile(const std::string& src, const std::string& dst) {
    CDirectory dir;
    const std::string where = DirectoryOf(dst);
    return dir.Open(where) && CopyFileInto(src, dir, dst.substr(where.size()));
}

// ---------------------------------------------------------------------------------------------

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

bool CNewFile::IsTempFileName(std::string_view name) {
    const std::string_view prefix = CNewFile::kTempFilePrefix;
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) return false;
    return std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
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
        const std::string temp = TempFileName();
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
    if (m_fd < 0) throw CFileException("write", m_strName, EBADF);
    if (count < 0) throw CFileException("write", m_strName, EINVAL);
    if (!WriteAll(m_fd, static_cast<const char*>(data), static_cast<size_t>(count)))
        throw CFileException("write", m_strName, errno);
}

bool CNewFile::SetTimesAndMode(const struct stat& like) {
    const struct timespec times[2] = {like.st_atim, like.st_mtim};
    return m_fd >= 0 && ::fchmod(m_fd, like.st_mode & 0777) == 0 && ::futimens(m_fd, times) == 0;
}

bool CNewFile::Commit(bool replace) {
    int error = m_fd < 0 ? EBADF : RefuseReplace(m_dir.m_fd, m_strName, replace);
    if (error == 0 && ::fsync(m_fd) != 0) error = errno;
    const int dir = m_dir.m_fd;
    if (error == 0 && (replace ? ::renameat(dir, m_strTemp.c_str(), dir, m_strName.c_str())
                               : RenameNoReplace(dir, m_strTemp, dir, m_strName)) != 0)
        error = errno;
    if (error != 0) {
        Discard();
        errno = error;
        return false;
    }
    m_bCommitted = true;
    Discard();               // closes; the name is the file's now
    ::fsync(m_dir.m_fd);     // durability of the new name only; the file is complete either way
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

bool AppendToFile(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    ok = ok && WriteAll(fd, data.data(), data.size());
    CErrnoKeeper keep;
    ::close(fd);
    return ok;
}

// ---------------------------------------------------------------------------------------------

CFile::~CFile() {
    if (m_fd >= 0) ::close(m_fd);
}

bool CFile::Open(const std::string& path, unsigned flags) {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_strPath = path;

    int access = 0;
    switch (flags) {
        case modeRead: access = O_RDONLY; break;
        case modeWrite: access = O_WRONLY; break;
        // No O_TRUNC: the file is emptied only once the lock is ours, so a file that someone
        // else holds is never cut short by a refused open.
        case modeCreate | modeWrite: access = O_WRONLY | O_CREAT; break;
        default: errno = EINVAL; return false;
    }
    struct stat st {};
    const int fd = OpenRegularLocked(path, access, LOCK_EX, st);
    if (fd < 0) return false;
    if ((flags & modeCreate) && ::ftruncate(fd, 0) != 0) {
        CErrnoKeeper keep;
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

int CFile::Read(void* buffer, int count) {
    if (m_fd < 0) throw CFileException("read", m_strPath, EBADF);
    if (count < 0) throw CFileException("read", m_strPath, EINVAL);
    char* p = static_cast<char*>(buffer);
    int done = 0;
    while (done < count) {
        const ssize_t n = ::read(m_fd, p + done, static_cast<size_t>(count - done));
        if (n < 0) {
            if (errno == EINTR) continue;
            throw CFileException("read", m_strPath, errno);
        }
        if (n == 0) break;
        done += static_cast<int>(n);
    }
    return done;
}

void CFile::Write(const void* data, int count) {
    if (m_fd < 0) throw CFileException("write", m_strPath, EBADF);
    if (count < 0) throw CFileException("write", m_strPath, EINVAL);
    if (!WriteAll(m_fd, static_cast<const char*>(data), static_cast<size_t>(count)))
        throw CFileException("write", m_strPath, errno);
}

void CFile::SeekToEnd() {
    if (m_fd < 0) throw CFileException("seek", m_strPath, EBADF);
    if (::lseek(m_fd, 0, SEEK_END) < 0) throw CFileException("seek", m_strPath, errno);
}

int64_t CFile::GetLength() const {
    if (m_fd < 0) throw CFileException("length", m_strPath, EBADF);
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) throw CFileException("length", m_strPath, errno);
    return st.st_size;
}

void CFile::Close() {
    if (m_fd < 0) return;
    const int fd = m_fd;
    m_fd = -1;
    // Linux releases the descriptor even when close() reports EINTR; only real errors count.
    if (::close(fd) != 0 && errno != EINTR) throw CFileException("close", m_strPath, errno);
}

void CFile::Remove(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR))
        throw CFileException("remove", path, EACCES);
    if (::unlink(path.c_str()) != 0) throw CFileException("remove", path, errno);
}

void CFile::Rename(const std::string& oldPath, const std::string& newPath) {
    if (RenameNoReplace(AT_FDCWD, oldPath, AT_FDCWD, newPath) == 0) return;
    int error = errno;
    struct stat st {};
    if (error == EXDEV && ::lstat(oldPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        CDirectory dir;
        if (dir.Open(DirectoryOf(newPath)) &&
            CopyInto(oldPath, dir, newPath.substr(DirectoryOf(newPath).size()), false)) {
            if (::unlink(oldPath.c_str()) == 0) return;
            // The old name could not go: take the copy back so that the file exists only once.
            error = errno;
            ::unlink(newPath.c_str());
        } else {
            error = errno;
        }
    }
    throw CFileException("rename", oldPath, error);
}

std::string CanonicalPath(const std::string& path) {
    constexpr int kMaxLinks = 40;  // the kernel's own limit before ELOOP
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        absolute = std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + absolute;
    }
    // Resolve the longest prefix that exists; what follows it does not exist, holds no links
    // and is normalised as text. A link whose target does not exist is still followed: the
    // name stands for where it points.
    std::string prefix = absolute;
    std::string rest;
    char resolved[PATH_MAX];
    for (int links = 0;;) {
        if (realpath(prefix.c_str(), resolved)) break;
        struct stat st {};
        char target[PATH_MAX];
        if (links < kMaxLinks && ::lstat(prefix.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            const ssize_t n = ::readlink(prefix.c_str(), target, sizeof target);
            if (n > 0 && static_cast<size_t>(n) < sizeof target) {
                ++links;
                prefix = (target[0] == '/' ? "" : DirectoryOf(prefix)) + std::string(target, n);
                continue;
            }
        }
        const size_t slash = prefix.find_last_of('/');
        if (slash == std::string::npos || slash == 0) {
            rest = prefix.substr(slash == 0 ? 1 : 0) + (rest.empty() ? "" : "/" + rest);
            std::strcpy(resolved, "/");
            break;
        }
        rest = prefix.substr(slash + 1) + (rest.empty() ? "" : "/" + rest);
        prefix.erase(slash);
    }
    std::vector<std::string> parts;
    auto append = [&parts](const std::string& text) {
        size_t start = 0;
        while (start <= text.size()) {
            const size_t end = text.find('/', start);
            const std::string part =
                text.substr(start, end == std::string::npos ? end : end - start);
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            if (end == std::string::npos) break;
            start = end + 1;
        }
    };
    append(resolved);
    append(rest);
    std::string out;
    for (const auto& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExecutablePath() {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

}  // namespace rs232
