#include "platform/FileOps.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/NewFile.h"
#include "platform/Paths.h"
#include "platform/PosixFile.h"
#include "platform/StatMap.h"

namespace rs232 {

using detail::CErrnoKeeper;

CFileException::CFileException(std::string operation, std::string path, int error)
    : std::runtime_error(operation + " " + path + ": " + std::generic_category().message(error)),
      m_strOperation(std::move(operation)),
      m_strPath(std::move(path)),
      m_nError(error) {}

std::string CFileException::Describe() const {
    return "File error: " + m_strOperation + " failed on " + m_strPath + ": " +
           std::strerror(m_nError);
}

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

namespace {
bool Append(const std::string& path, const std::string& data, bool whole) {
    // Whole lines look at the last byte there.
    const int fd = ::open(path.c_str(), (whole ? O_RDWR : O_WRONLY) | O_APPEND | O_CREAT |
                                            O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0;
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    char last = '\n';
    if (ok && whole && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        ok = detail::WriteAll(fd, "\n", 1);
    ok = ok && detail::WriteAll(fd, data.data(), data.size());
    CErrnoKeeper keep;
    // Failing to cut it off leaves what the disk took; nothing more can be done about it.
    if (!ok && whole && S_ISREG(st.st_mode) && ::ftruncate(fd, st.st_size) != 0) {}
    ::close(fd);
    return ok;
}
}  // namespace

bool AppendToFile(const std::string& path, const std::string& data) {
    return Append(path, data, false);
}

bool AppendWhole(const std::string& path, const std::string& data) {
    return Append(path, data, true);
}

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
    const int fd = detail::OpenRegularLocked(path, access, LOCK_EX, st);
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

void WriteWhole(int fd, const std::string& name, const void* data, int count) {
    if (fd < 0) throw CFileException("write", name, EBADF);
    if (count < 0) throw CFileException("write", name, EINVAL);
    if (!detail::WriteAll(fd, static_cast<const char*>(data), static_cast<size_t>(count)))
        throw CFileException("write", name, errno);
}

void CFile::Write(const void* data, int count) {
    WriteWhole(m_fd, m_strPath, data, count);
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
    if (detail::RenameNoReplace(AT_FDCWD, oldPath, AT_FDCWD, newPath) == 0) return;
    int error = errno;
    struct stat st {};
    if (error == EXDEV && ::lstat(oldPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        CDirectory dir;
        if (dir.Open(DirectoryOf(newPath)) &&
            CopyFileInto(oldPath, dir, newPath.substr(DirectoryOf(newPath).size()), false)) {
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

}  // namespace rs232
