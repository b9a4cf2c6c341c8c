// Facts about the running program and the machine, read from /proc.
#pragma once

#include <string>

namespace rs232 {

// Full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

// The directory part of a path, up to and including its last '/'; empty when there is none.
std::string DirectoryOf(const std::string& path);

// Physical memory in kB from /proc/meminfo and the share in use in percent
// (100 * (total - available) / total). All zero when /proc/meminfo cannot be read.
struct SMemoryStatus {
    long totalKb = 0;
    long availableKb = 0;
    long loadPercent = 0;
};
SMemoryStatus QueryMemoryStatus();

}  // namespace rs232
