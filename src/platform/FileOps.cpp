#include "platform/FileOps.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

// rename() that never replaces an existing newPath. File systems without RENAME_NOREPLACE get
// a check before a plain rename (a small window, but no worse than the platform allows).
int RenameNoReplace(const std::string& oldPath, const std::string& newPath) {
    if (::renameat2(AT_FDCWD, oldPath.c_str(), AT_FDCWD, newPath.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return -1;
    struct stat st {};
    if (::lstat(newPath.c_str(), &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(oldPath.c_str(), newPath.c_str());
}

void SyncDirectory(const std::string& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);  // durability of the new name only; the copy is complete either way
    ::close(fd);
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

// Copies the regular file src to dst through a temporary file beside dst. With `replace` an
// existing dst is replaced atomically; without it an existing dst makes the copy fail (EEXIST).
// On failure nothing is left behind and dst is untouched; errno describes the failure.
bool CopyThroughTemp(const std::string& src, const std::string& dst, bool replace) {
    struct stat st {};
    const int in = OpenRegularLocked(src, O_RDONLY, LOCK_SH, st);
    if (in < 0) return false;

    int error = 0;
    struct stat dstStat {};
    if (::stat(dst.c_str(), &dstStat) == 0) {
        if (S_ISDIR(dstStat.st_mode))
            error = EISDIR;
        else if (!replace)
            error = EEXIST;
        else if (S_ISREG(dstStat.st_mode)) {
            // A destination that someone holds open exclusively is not replaced under them.
            const int held = ::open(dst.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
            if (held >= 0) {
                if (::flock(held, LOCK_SH | LOCK_NB) != 0) error = errno;
                ::close(held);
            }
        }
        if (error != 0) {
            ::close(in);
            errno = error;
            return false;
        }
    }

    const std::string dir = DirectoryOf(dst);
    std::string temp = dir + ".rs232-copy-XXXXXX";
    const int out = ::mkostemp(temp.data(), O_CLOEXEC);
    if (out < 0) {
        CErrnoKeeper keep;
        ::close(in);
        return false;
    }

    bool ok = true;
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        if (!WriteAll(out, buffer, static_cast<size_t>(n))) {
            ok = false;
            break;
        }
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ok = ok && ::fchmod(out, st.st_mode & 0777) == 0 && ::futimens(out, times) == 0 &&
         ::fsync(out) == 0;
    if (::close(out) != 0 && errno != EINTR) ok = false;
    if (ok) ok = (replace ? ::rename(temp.c_str(), dst.c_str()) : RenameNoReplace(temp, dst)) == 0;

    CErrnoKeeper keep;
    ::close(in);
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncDirectory(dir);
    return true;
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

bool CopyFile(const std::string& src, const std::string& dst) {
    return CopyThroughTemp(src, dst, true);
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
    if (::unlink(path.c_str()) != 0) throw CFileException("remove", path, errno);
}

void CFile::Rename(const std::string& oldPath, const std::string& newPath) {
    if (RenameNoReplace(oldPath, newPath) == 0) return;
    int error = errno;
    struct stat st {};
    if (error == EXDEV && ::lstat(oldPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (CopyThroughTemp(oldPath, newPath, false)) {
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
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        absolute = std::string(getcwd(cwd, sizeof cwd) ? cwd : "") + "/" + absolute;
    }
    // Resolve the longest prefix that exists; what follows it does not exist, holds no links
    // and is normalised as text.
    std::string prefix = absolute;
    std::string rest;
    char resolved[PATH_MAX];
    for (;;) {
        if (realpath(prefix.c_str(), resolved)) break;
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
