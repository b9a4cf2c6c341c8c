// Files on Win32: wide-character calls at the edge, handles kept as C runtime descriptors so
// that the interface is the POSIX build's. Errors are reported as the errno values the POSIX
// build gives for the same case, so every status text stays the same.
#include "platform/FileOps.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include "platform/FileWin32.h"
#include "platform/TextCodeWin32.h"

namespace rs232 {

using namespace detail;

namespace detail {

uint8_t AttributesOfWin32(unsigned long attributes) {
    return static_cast<uint8_t>(attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                              FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                                              FILE_ATTRIBUTE_ARCHIVE));
}

int OpenHandle(const std::string& path, unsigned long access, unsigned long share,
               unsigned long disposition, bool regularOnly) {
    HANDLE h = CreateFileW(WidePath(path).c_str(), access, share, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        FailWithLastError();
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    int error = 0;
    if (!GetFileInformationByHandle(h, &info))
        error = ErrnoOf(GetLastError());
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        error = regularOnly ? EISDIR : 0;
    else if (GetFileType(h) != FILE_TYPE_DISK)
        error = EINVAL;
    if (error != 0) {
        CloseHandle(h);
        errno = error;
        return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

void* HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

bool WriteAllHandle(int fd, const char* data, size_t count) {
    HANDLE h = HandleOf(fd);
    while (count > 0) {
        DWORD n = 0;
        const DWORD chunk = count > (1u << 30) ? (1u << 30) : static_cast<DWORD>(count);
        if (!WriteFile(h, data, chunk, &n, nullptr)) return FailWithLastError();
        if (n == 0) {
            errno = ENOSPC;
            return false;
        }
        data += n;
        count -= n;
    }
    return true;
}

bool StatusOfHandle(void* handle, CFileStatus& status) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return FailWithLastError();
    status.m_size64 = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    status.m_size = ClampSize(status.m_size64);
    status.m_mtime = ClampTime(
        UnixTimeOf(info.ftLastWriteTime.dwLowDateTime, info.ftLastWriteTime.dwHighDateTime));
    status.m_attribute = AttributesOfWin32(info.dwFileAttributes);
    return true;
}

}  // namespace detail

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
    // Through a handle, so that a link reports what it leads to.
    HANDLE h = CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        const bool ok = StatusOfHandle(h, status);
        CloseHandle(h);
        return ok;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data))
        return FailWithLastError();
    status.m_size64 = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    status.m_size = ClampSize(status.m_size64);
    status.m_mtime = ClampTime(
        UnixTimeOf(data.ftLastWriteTime.dwLowDateTime, data.ftLastWriteTime.dwHighDateTime));
    status.m_attribute = AttributesOfWin32(data.dwFileAttributes);
    return true;
}

bool FileExists(const std::string& path) {
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeDir(const std::string& path) {
    return CreateDirectoryW(WidePath(path).c_str(), nullptr) || FailWithLastError();
}

namespace {
bool Append(const std::string& path, const std::string& data, bool whole) {
    // Whole lines look at the last byte there.
    const int fd = OpenHandle(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | (whole ? GENERIC_READ : 0),
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS,
                              true);
    if (fd < 0) return false;
    LARGE_INTEGER size{};
    const bool sized = GetFileSizeEx(HandleOf(fd), &size);
    bool ok = true;
    if (whole && sized && size.QuadPart > 0) {
        char last = '\n';
        DWORD n = 0;
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(size.QuadPart - 1);
        at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
        if (ReadFile(HandleOf(fd), &last, 1, &n, &at) && n == 1 && last != '\n')
            ok = WriteAllHandle(fd, "\n", 1);
    }
    ok = ok && WriteAllHandle(fd, data.data(), data.size());
    const int error = errno;
    // Failing to cut it off leaves what the disk took; nothing more can be done about it.
    if (!ok && whole && sized) {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile = size;
        SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end);
    }
    _close(fd);
    errno = error;
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
    if (m_fd >= 0) _close(m_fd);
}

bool CFile::Open(const std::string& path, unsigned flags) {
    if (m_fd >= 0) {
        _close(m_fd);
        m_fd = -1;
    }
    m_strPath = path;
    // A file being read may still be replaced whole (its name moved over), never written into;
    // a file being written is not written by anyone else.
    unsigned long access = 0, disposition = OPEN_EXISTING;
    switch (flags) {
        case modeRead: access = GENERIC_READ; break;
        case modeWrite: access = GENERIC_WRITE; break;
        case modeCreate | modeWrite:
            access = GENERIC_WRITE;
            disposition = OPEN_ALWAYS;
            break;
        default: errno = EINVAL; return false;
    }
    const int fd = OpenHandle(path, access, FILE_SHARE_READ | FILE_SHARE_DELETE, disposition, true);
    if (fd < 0) return false;
    if (flags & modeCreate) {
        FILE_END_OF_FILE_INFO end{};
        if (!SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end)) {
            const int error = ErrnoOf(GetLastError());
            _close(fd);
            errno = error;
            return false;
        }
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
        DWORD n = 0;
        if (!ReadFile(HandleOf(m_fd), p + done, static_cast<DWORD>(count - done), &n, nullptr))
            throw CFileException("read", m_strPath, ErrnoOf(GetLastError()));
        if (n == 0) break;
        done += static_cast<int>(n);
    }
    return done;
}

void WriteWhole(int fd, const std::string& name, const void* data, int count) {
    if (fd < 0) throw CFileException("write", name, EBADF);
    if (count < 0) throw CFileException("write", name, EINVAL);
    if (!WriteAllHandle(fd, static_cast<const char*>(data), static_cast<size_t>(count)))
        throw CFileException("write", name, errno);
}

void CFile::Write(const void* data, int count) { WriteWhole(m_fd, m_strPath, data, count); }

void CFile::SeekToEnd() {
    if (m_fd < 0) throw CFileException("seek", m_strPath, EBADF);
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(HandleOf(m_fd), zero, nullptr, FILE_END))
        throw CFileException("seek", m_strPath, ErrnoOf(GetLastError()));
}

int64_t CFile::GetLength() const {
    if (m_fd < 0) throw CFileException("length", m_strPath, EBADF);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(HandleOf(m_fd), &size))
        throw CFileException("length", m_strPath, ErrnoOf(GetLastError()));
    return size.QuadPart;
}

void CFile::Close() {
    if (m_fd < 0) return;
    const int fd = m_fd;
    m_fd = -1;
    if (_close(fd) != 0) throw CFileException("close", m_strPath, errno);
}

void CFile::Remove(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(WidePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw CFileException("remove", path, EACCES);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw CFileException("remove", path, EISDIR);
    if (!DeleteFileW(WidePath(path).c_str()))
        throw CFileException("remove", path, ErrnoOf(GetLastError()));
}

void CFile::Rename(const std::string& oldPath, const std::string& newPath) {
    // Never over an existing name; across volumes as a copy and a delete.
    if (!MoveFileExW(WidePath(oldPath).c_str(), WidePath(newPath).c_str(),
                     MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH))
        throw CFileException("rename", oldPath, ErrnoOf(GetLastError()));
}

}  // namespace rs232
