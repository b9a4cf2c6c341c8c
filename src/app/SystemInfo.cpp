#include "app/SystemInfo.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/TextFormat.h"

#ifndef RS232_VERSION
#define RS232_VERSION ""
#endif

namespace rs232 {

SMemoryStatus QueryMemoryStatus() {
    SMemoryStatus status;
    std::ifstream in("/proc/meminfo");
    std::string line;
    bool haveTotal = false, haveAvailable = false;
    while (std::getline(in, line) && !(haveTotal && haveAvailable)) {
        std::istringstream fields(line);
        std::string key;
        long value = 0;
        if (!(fields >> key >> value)) continue;
        if (key == "MemTotal:") {
            status.totalKb = value;
            haveTotal = true;
        } else if (key == "MemAvailable:") {
            status.availableKb = value;
            haveAvailable = true;
        }
    }
    if (status.totalKb > 0)
        status.loadPercent = 100 * (status.totalKb - status.availableKb) / status.totalKb;
    return status;
}

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
