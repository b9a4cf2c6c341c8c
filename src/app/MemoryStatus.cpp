#include <fstream>
#include <sstream>

#include "app/SystemInfo.h"

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

}  // namespace rs232
