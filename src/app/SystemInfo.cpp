#include "app/SystemInfo.h"

#include <cstdio>

#include "platform/TextFormat.h"

#ifndef RS232_VERSION
#define RS232_VERSION ""
#endif

namespace rs232 {

std::string FormatVersion(const std::string& dotted) {
    long part[4] = {};
    int consumed = 0;
    if (std::sscanf(dotted.c_str(), "%ld.%ld.%ld.%ld%n", &part[0], &part[1], &part[2], &part[3],
                    &consumed) != 4 ||
        static_cast<size_t>(consumed) != dotted.size())
        return "00.00.00.00";
    for (long p : part)
        if (p < 0 || p > 0xFFFF) return "00.00.00.00";
    return FormatText("%.2ld.%.2ld.%.2ld.%.2ld", part[0], part[1], part[2], part[3]);
}

std::string ProgramVersion() { return FormatVersion(RS232_VERSION); }

}  // namespace rs232
