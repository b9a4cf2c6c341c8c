// The edge between the program's narrow strings and the wide-character Win32 API. Narrow text is
// in the system's ANSI code page, as the bytes of a request are; a path is handed to the system
// with backslashes. Used only by the Win32 files.
#pragma once

#include <cstdint>
#include <string>

namespace rs232::detail {

std::wstring Wide(const std::string& text);
std::string Narrow(const std::wstring& text);
// The path as the system takes it: '/' becomes '\'; empty is the working directory.
std::wstring WidePath(const std::string& path);
// A path the system gave back, with '/' for the program ("\\?\C:\x" becomes "C:/x").
std::string ProgramPath(const std::wstring& path);
// The errno value that stands for a Win32 error code, so that texts match the POSIX build.
int ErrnoOf(unsigned long win32Error);
// errno set from GetLastError(); returns false for use in a return statement.
bool FailWithLastError();
// Seconds since 1970 UTC of a FILETIME's two halves.
int64_t UnixTimeOf(uint32_t low, uint32_t high);

}  // namespace rs232::detail
