#include "platform/TextCodeWin32.h"

#include <windows.h>

#include <cerrno>

namespace rs232::detail {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring WidePath(const std::string& path) {
    std::wstring wide = Wide(path.empty() ? std::string(".") : path);
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

std::string ProgramPath(const std::wstring& path) {
    std::wstring p = path;
    if (p.starts_with(L"\\\\?\\UNC\\"))
        p = L"\\\\" + p.substr(8);
    else if (p.starts_with(L"\\\\?\\"))
        p = p.substr(4);
    std::string out = Narrow(p);
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

int ErrnoOf(unsigned long win32Error) {
    switch (win32Error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_PATHNAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_CANNOT_MAKE: return EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_BUSY: return EBUSY;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_INVALID_NAME:
        case ERROR_INVALID_PARAMETER: return EINVAL;
        case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_INVALID_HANDLE: return EBADF;
        default: return EIO;
    }
}

bool FailWithLastError() {
    errno = ErrnoOf(GetLastError());
    return false;
}

int64_t UnixTimeOf(uint32_t low, uint32_t high) {
    const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
    return ticks / 10'000'000 - 11'644'473'600LL;  // 100 ns ticks since 1601
}

}  // namespace rs232::detail
