#include "app/SystemInfo.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

namespace rs232 {

std::string ExecutablePath() {
    std::string buffer(4096, '\0');
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n <= 0 || static_cast<size_t>(n) >= buffer.size()) return {};
    buffer.resize(static_cast<size_t>(n));
    return buffer;
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

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
