// How the settings file "<executable>.ini" is read, in one place for the server and the client
// (the client reads the same file for its port map and line speed). Header-only, so that the
// client can use it in a build without the window.
// Sections and keys match regardless of case; values are 8-bit text, no conversion.
#pragma once

#ifndef SI_NO_CONVERSION
#define SI_NO_CONVERSION
#endif
#include <SimpleIni.h>

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "platform/Number.h"
#include "platform/PathSafety.h"
#include "platform/PortNumber.h"

namespace rs232 {

// The case-insensitive variant (SimpleIni's "Case" variant is the case-sensitive one).
using CIniFile = CSimpleIniA;

// A number as the settings file holds it: leading blanks, then the leading digits; 0 when there
// are none, INT32_MAX when they go beyond it. No sign, no hex.
inline int32_t ProfileInt(const char* text) {
    while (*text == ' ' || *text == '\t') ++text;
    int64_t value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text) {
        value = value * 10 + (*text - '0');
        if (value > INT32_MAX) return INT32_MAX;
    }
    return static_cast<int32_t>(value);
}

// Loads the file into ini. False, with why, when it cannot be read (missing, a directory, a
// dangling link, no permission) or holds a line that is neither a [SECTION], a KEY=VALUE, a
// ';' or '#' comment nor blank: such a file says nothing reliable, so nothing of it is taken.
inline bool LoadSettingsFile(const std::string& path, CIniFile& ini, std::string& why) {
    std::string text;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    int error = file ? 0 : errno;
    if (file) {
        char buffer[4096];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        if (std::ferror(file)) error = errno ? errno : EIO;  // EISDIR for a directory
        std::fclose(file);
    }
    if (error) {
        why = std::strerror(error);
        return false;
    }
    size_t number = 0;
    for (size_t start = text.starts_with("\xEF\xBB\xBF") ? 3 : 0; start < text.size(); ++number) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        const bool fine = line.find('\0') == std::string::npos &&
                          (line.empty() || line[0] == ';' || line[0] == '#' ||
                           (line[0] == '[' && line.back() == ']') ||
                           (line.find('=') != std::string::npos && line[0] != '='));
        if (!fine) {
            why = "line " + std::to_string(number + 1) + " is neither [SECTION] nor KEY=VALUE";
            return false;
        }
    }
    ini.SetMultiKey(false);
    if (ini.LoadData(text) < 0) {
        why = "it cannot be parsed";
        return false;
    }
    return true;
}

// [PORTS] COMn=<device>, n a port number (1 to 99); other keys and empty devices are ignored (such a port
// keeps its default device).
inline std::map<int, std::string> ReadDeviceMap(const CIniFile& ini) {
    std::map<int, std::string> devices;
    CIniFile::TNamesDepend keys;
    ini.GetAllKeys("PORTS", keys);
    for (const auto& key : keys) {
        const char* name = key.pItem;
        if (strncasecmp(name, "COM", 3) != 0) continue;
        const auto port = ReadNumber(name + 3, kFirstPort, kLastPort);
        const char* device = ini.GetValue("PORTS", name, "");
        if (port && device && *device) devices[static_cast<int>(*port)] = device;
    }
    return devices;
}

// [DRIVES] <letter>=<directory>, the letter in either case (upper case in the map); other keys
// and empty directories are ignored.
inline std::map<char, std::string> ReadDriveMap(const CIniFile& ini) {
    std::map<char, std::string> drives = NativeDrives();
    CIniFile::TNamesDepend keys;
    ini.GetAllKeys("DRIVES", keys);
    for (const auto& key : keys) {
        const char* name = key.pItem;
        const auto letter = static_cast<unsigned char>(name[0]);
        if (!std::isalpha(letter) || name[1]) continue;
        const char* directory = ini.GetValue("DRIVES", name, "");
        if (directory && *directory) drives[static_cast<char>(std::toupper(letter))] = directory;
    }
    return drives;
}

}  // namespace rs232
