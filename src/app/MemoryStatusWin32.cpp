#include <windows.h>

#include "app/SystemInfo.h"

namespace rs232 {

SMemoryStatus QueryMemoryStatus() {
    SMemoryStatus status;
    MEMORYSTATUSEX memory{};
    memory.dwLength = sizeof memory;
    if (!GlobalMemoryStatusEx(&memory)) return status;
    status.totalKb = static_cast<long>(memory.ullTotalPhys / 1024);
    status.availableKb = static_cast<long>(memory.ullAvailPhys / 1024);
    status.loadPercent = static_cast<long>(memory.dwMemoryLoad);
    return status;
}

}  // namespace rs232
