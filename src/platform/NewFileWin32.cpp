// New files on Win32: written under a temporary name in the directory's final path (where the
// directory really is, links and short names resolved), then installed whole with
// MoveFileExW(MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH): a reader sees the old
// content or the new, never a part. A file held open by a reader is not replaced: the install
// fails (after a short retry) and the old content stays whole.
#include "platform/NewFile.h"

#include <windows.h>
#undef CopyFile  // the system's name for its own copy, not ours
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>
#include <sys/stat.h>

#include "platform/FileOps.h"
#include "platform/FileWin32.h"
#include "platform/Paths.h"
#include "platform/TextCodeWin32.h"

namespace rs232 {

using namespace detail;

namespace {

// A file that another program holds open cannot be replaced on Windows; scanners and indexers
// hold files briefly, so the install is tried again for this long before it fails cleanly.
constexpr DWORD kReplaceRetryMs = 1000;
constexpr DWORD kReplaceRetryStepMs = 50;

bool MoveInto(const std::wstring& from, const std::wstring& to, DWORD flags) {
    for (DWORD waited = 0;; waited += kReplaceRetryStepMs) {
        if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            waited >= kReplaceRetryMs) {
            SetLastError(error);
            return false;
        }
        Sleep(kReplaceRetryStepMs);
    }
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir.ends_with('/') ? dir + name : dir + "/" + name;
}

int RefuseReplace(const std::string& dir, const std::string& name, bool replace) {
    if (name.empty()) return ENOENT;
    const DWORD attributes = GetFileAttributesW(WidePath(Join(dir, name)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return 0;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EISDIR;
    if (!replace) return EEXIST;
    if (attributes & FILE_ATTRIBUTE_READONLY) return EACCES;
    return 0;
}


}  // namespace

CDirectory::~CDirectory() {
    if (m_fd >= 0) _close(m_fd);
}

bool CDirectory::Open(const std::string& path) {
    if (m_fd >= 0) _close(m_fd);
    m_fd = OpenHandle(path.empty() ? "." : path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, false);
    if (m_fd < 0) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(HandleOf(m_fd), &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        _close(m_fd);
        m_fd = -1;
        errno = ENOTDIR;
        return false;
    }
    return true;
}

std::string CDirectory::RealPath() const {
    if (m_fd < 0) return {};
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetFinalPathNameByHandleW(HandleOf(m_fd), buffer.data(),
                                              static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
    if (n == 0 || n >= buffer.size()) return {};
    return NormalPath(ProgramPath(std::wstring(buffer.data(), n)));
}


CNewFile::~CNewFile() { Discard(); }

void CNewFile::Discard() {
    const int error = errno;
    if (m_fd >= 0) _close(m_fd);
    m_fd = -1;
    if (!m_strTemp.empty() && !m_bCommitted) DeleteFileW(WidePath(m_strTemp).c_str());
    m_strTemp.clear();
    errno = error;
}

bool CNewFile::Create(bool replace) {
    Discard();
    m_bCommitted = false;
    const std::string dir = m_dir.RealPath();
    if (const int error = dir.empty() ? EBADF : RefuseReplace(dir, m_strName, replace)) {
        errno = error;
        return false;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = Join(dir, CNewFile::NewTempFileName());
        // Not shared while written: a start-up sweep cannot remove it meanwhile.
        const int fd = OpenHandle(temp, GENERIC_WRITE | FILE_READ_ATTRIBUTES | DELETE, 0,
                                  CREATE_NEW, true);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        m_fd = fd;
        m_strTemp = temp;
        return true;
    }
    errno = EEXIST;
    return false;
}

void CNewFile::Write(const void* data, int count) { WriteWhole(m_fd, m_strName, data, count); }

bool CNewFile::SetTimesAndMode(const struct stat& like) {
    if (m_fd < 0) return false;
    FILE_BASIC_INFO set{};
    const int64_t ticks = (static_cast<int64_t>(like.st_mtime) + 11'644'473'600LL) * 10'000'000;
    set.LastWriteTime.QuadPart = ticks;
    set.LastAccessTime.QuadPart = ticks;
    set.FileAttributes = (like.st_mode & S_IWRITE) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    return SetFileInformationByHandle(HandleOf(m_fd), FileBasicInfo, &set, sizeof set) ||
           FailWithLastError();
}

bool CNewFile::SetMode(unsigned mode) {
    if (m_fd < 0) return false;
    FILE_BASIC_INFO set{};
    set.FileAttributes = (mode & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    return SetFileInformationByHandle(HandleOf(m_fd), FileBasicInfo, &set, sizeof set) ||
           FailWithLastError();
}

bool CNewFile::Commit(bool replace, bool durable) {
    const std::string dir = m_dir.RealPath();
    int error = m_fd < 0 || dir.empty() ? EBADF : RefuseReplace(dir, m_strName, replace);
    if (error == 0 && durable && !FlushFileBuffers(HandleOf(m_fd))) error = ErrnoOf(GetLastError());
    if (error == 0) {
        _close(m_fd);
        m_fd = -1;
        const DWORD flags = (durable ? MOVEFILE_WRITE_THROUGH : 0) |
                            (replace ? MOVEFILE_REPLACE_EXISTING : 0);
        if (!MoveInto(WidePath(m_strTemp), WidePath(Join(dir, m_strName)), flags))
            error = ErrnoOf(GetLastError());
    }
    if (error != 0) {
        Discard();
        errno = error;
        return false;
    }
    m_bCommitted = true;
    Discard();
    return true;
}

int RemoveLeftoverTempFiles(const std::string& path) {
    const std::string dir = path.empty() ? "." : path;
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(WidePath(Join(dir, "*")).c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    int removed = 0;
    do {
        const std::string name = Narrow(data.cFileName);
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (!CNewFile::IsTempFileName(name)) continue;
        // One still being written is held unshared by its writer: the delete fails.
        if (DeleteFileW(WidePath(Join(dir, name)).c_str())) ++removed;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return removed;
}

bool CopyFileInto(const std::string& src, const CDirectory& dir, const std::string& name,
                  bool replace, const std::function<void()>& step) {
    const int in = OpenHandle(src, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              OPEN_EXISTING, true);
    if (in < 0) return false;
    CNewFile out(dir, name);
    bool ok = out.Create(replace);
    std::vector<char> buffer(64 * 1024);
    while (ok) {
        DWORD n = 0;
        if (!ReadFile(HandleOf(in), buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
            ok = FailWithLastError();
            break;
        }
        if (n == 0) break;
        try {
            out.Write(buffer.data(), static_cast<int>(n));
        } catch (const CFileException& e) {
            errno = e.Error();
            ok = false;
        }
        if (ok && step) step();
    }
    struct stat st {};
    ok = ok && (::fstat(in, &st) == 0 || FailWithLastError()) && out.SetTimesAndMode(st) &&
         out.Commit(replace);
    const int error = errno;
    _close(in);
    errno = error;
    return ok;
}

bool CopyFile(const std::string& src, const std::string& dst) {
    CDirectory dir;
    const std::string where = DirectoryOf(dst);
    return dir.Open(where) && CopyFileInto(src, dir, dst.substr(where.size()));
}

}  // namespace rs232
