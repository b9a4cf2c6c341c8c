// Paths on Win32. The program writes them with '/' (a request's '\' is turned into '/'), a drive
// path as "C:/dir/name" and a drive's root as "C:"; the system takes either separator.
#include "platform/Paths.h"

#include <windows.h>

#include <cctype>
#include <vector>

#include "platform/TextCodeWin32.h"

namespace rs232 {

using namespace detail;

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

// Where the system finally puts an existing file or directory: links, junctions, short names
// and case resolved. Empty when it cannot be opened.
std::string FinalPath(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetFinalPathNameByHandleW(h, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= buffer.size()) return {};
    return ProgramPath(std::wstring(buffer.data(), n));
}

}  // namespace

std::string CanonicalPath(const std::string& path) {
    std::vector<wchar_t> full(32768);
    const std::wstring wide = WidePath(path);
    const DWORD n = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                     nullptr);
    if (n == 0 || n >= full.size()) return NormalPath(path);
    // The longest prefix that exists is resolved by the system; the rest is taken as text.
    std::string absolute = ProgramPath(std::wstring(full.data(), n));
    std::string rest;
    for (;;) {
        std::string resolved = FinalPath(WidePath(absolute));
        if (!resolved.empty()) return NormalPath(resolved + "/" + rest);
        const size_t slash = absolute.find_last_of('/');
        if (slash == std::string::npos || slash < 3) break;
        rest = absolute.substr(slash + 1) + (rest.empty() ? "" : "/" + rest);
        absolute.erase(slash);
    }
    return NormalPath(absolute + "/" + rest);
}

std::string NormalPath(const std::string& path) {
    std::string drive;
    size_t start = 0;
    if (path.size() >= 2 && path[1] == ':' && std::isalpha(static_cast<unsigned char>(path[0]))) {
        drive = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])))) + ":";
        start = 2;
    }
    std::vector<std::string> parts;
    while (start <= path.size()) {
        size_t end = start;
        while (end < path.size() && !IsSeparator(path[end])) ++end;
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        if (end >= path.size()) break;
        start = end + 1;
    }
    std::string out = drive;
    for (const auto& part : parts) out += "/" + part;
    return out.empty() ? "/" : out;
}

std::string DirectoryOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : std::string();
    return path.substr(0, slash + 1);
}

const char kDirSeparator = '\\';

std::string SettingsPathOf(const std::string& executable) {
    return executable.size() < 3 ? executable + ".ini"
                                 : executable.substr(0, executable.size() - 3) + "ini";
}

bool EndsInSeparator(const std::string& path) {
    return !path.empty() && IsSeparator(path.back());
}

std::string DefaultStatusDir() {
    wchar_t data[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
    const std::string base = n > 0 && n < MAX_PATH ? Narrow(data) : "C:\\ProgramData";
    return base + "\\rs232-server";
}

std::string ExecutablePath() {
    std::vector<wchar_t> buffer(32768);
    const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0 || n >= buffer.size()) return {};
    return Narrow(std::wstring(buffer.data(), n));
}

}  // namespace rs232
