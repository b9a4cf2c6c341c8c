#include "platform/FileLimits.h"

#include <windows.h>
#include <io.h>

#include <cerrno>
#include <cstdint>

#include "platform/FileWin32.h"
#include "platform/TextCodeWin32.h"

namespace rs232 {

using namespace detail;

bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& text) {
    text.clear();
    // Looked at before it is opened: a directory or a device name is no file to read.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data))
        return FailWithLastError();
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EINVAL;
        return false;
    }
    // A device or pipe behind the name is refused by the open (EINVAL); the size is the open
    // file's, the name may have been replaced meanwhile.
    const int fd = OpenHandle(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE |
                                                      FILE_SHARE_DELETE,
                              OPEN_EXISTING, true);
    if (fd < 0) return false;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(HandleOf(fd), &size) || FailWithLastError();
    if (ok && static_cast<uint64_t>(size.QuadPart) > maxBytes) {
        errno = EFBIG;
        ok = false;
    }
    // One byte more than allowed tells a file that grew meanwhile.
    if (ok) text.resize(maxBytes + 1);
    size_t got = 0;
    while (ok && got < text.size()) {
        DWORD n = 0;
        if (!ReadFile(HandleOf(fd), text.data() + got, static_cast<DWORD>(text.size() - got), &n,
                      nullptr)) {
            ok = FailWithLastError();
            break;
        }
        if (n == 0) break;
        got += n;
    }
    if (ok && got > maxBytes) {
        errno = EFBIG;
        ok = false;
    }
    const int error = errno;
    _close(fd);
    errno = error;
    text.resize(ok ? got : 0);
    return ok;
}

// Windows has no file size limit per process, nor a signal for one.
void IgnoreFileSizeSignal() {}

}  // namespace rs232
