#include "platform/PathSafety.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace rs232 {

namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The system takes a name up to its first dot, without trailing blanks, as the device.
bool IsDeviceName(std::string_view name) {
    static constexpr std::array<std::string_view, 6> kDevices = {"CON", "PRN", "AUX", "NUL",
                                                                 "CONIN$", "CONOUT$"};
    std::string stem = Upper(name.substr(0, name.find('.')));
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
    if (std::find(kDevices.begin(), kDevices.end(), stem) != kDevices.end()) return true;
    if (stem.size() != 4 || !(stem.starts_with("COM") || stem.starts_with("LPT"))) return false;
    // COM1-COM9, LPT1-LPT9, and the superscript digits the system also takes (code page 1252).
    const auto digit = static_cast<unsigned char>(stem[3]);
    return (digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3;
}

}  // namespace

std::string UnsafeNameReason(const std::string& requestPath) {
    std::string path = requestPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    if (path.starts_with("\\\\.\\") || path.starts_with("\\\\?\\") || path.starts_with("\\??\\"))
        return "device and raw paths (\\\\.\\, \\\\?\\) are not served";
    const size_t colon = path.find(':');
    const bool driveColon = colon == 1 && std::isalpha(static_cast<unsigned char>(path[0]));
    if (colon != std::string::npos && (!driveColon || path.find(':', 2) != std::string::npos))
        return "alternate data streams (name:stream) are not served";
    for (size_t start = driveColon ? 2 : 0; start <= path.size();) {
        const size_t end = std::min(path.find('\\', start), path.size());
        const std::string_view name = std::string_view(path).substr(start, end - start);
        if (IsDeviceName(name))
            return std::string(name) + " is a device name on this system";
        start = end + 1;
    }
    return {};
}

std::map<char, std::string> NativeDrives() {
    std::map<char, std::string> drives;
    for (char letter = 'A'; letter <= 'Z'; ++letter) drives[letter] = std::string(1, letter) + ":/";
    return drives;
}

}  // namespace rs232
