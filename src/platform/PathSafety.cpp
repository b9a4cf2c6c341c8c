#include "platform/PathSafety.h"

namespace rs232 {

// POSIX names no devices by their file name alone: the access root keeps /dev out.
std::string UnsafeNameReason(const std::string&) { return {}; }

std::map<char, std::string> NativeDrives() { return {}; }

}  // namespace rs232
