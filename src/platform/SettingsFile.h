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
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

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

// [PORTS] COMn=<device>, n a port number (1 to 99); other keys and empty devices are ignored (such a port
// keeps its default device).
inline std::map<int, std::string> ReadDeviceMap(const CIniFile& ini) {
    std::map<int, std::string> devices;
    CIniFile::TNamesDepend keys;
    ini.GetAllKeys("PORTS", keys);
    for (const auto& key : keys) {
        const char* name = key.pItem;
        if (strncasecmp(name, "COM", 3) != 0 || !*(name + 3)) continue;
        char* end = nullptr;
        const long port = std::strtol(name + 3, &end, 10);
        if (*end || !IsPortNumber(port)) continue;
        const char* device = ini.GetValue("PORTS", name, "");
        if (device && *device) devices[static_cast<int>(port)] = device;
    }
    return devices;
}

// [DRIVES] <letter>=<directory>, the letter in either case (upper case in the map); other keys
// and empty directories are ignored.
inline std::map<char, std::string> ReadDriveMap(const CIniFile& ini) {
    std::map<char, std::string> drives;
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
