// Facts about the running program and the machine, read from /proc.
#pragma once

#include <string>

#include "platform/Paths.h"  // ExecutablePath, DirectoryOf

namespace rs232 {

// Physical memory in kB from /proc/meminfo and the share in use in percent
// (100 * (total - available) / total). All zero when /proc/meminfo cannot be read.
struct SMemoryStatus {
    long totalKb = 0;
    long availableKb = 0;
    long loadPercent = 0;
};
SMemoryStatus QueryMemoryStatus();

// "%.2ld.%.2ld.%.2ld.%.2ld" of a dotted version text; "00.00.00.00" unless it holds four numbers.
std::string FormatVersion(const std::string& dotted);
// The build's four-part version, formatted so.
std::string ProgramVersion();

}  // namespace rs232
