// Names the platform gives a meaning other than a file: on Windows the reserved device names
// (CON, NUL, COM1, ... with or without an extension, in any directory), "\\.\" and "\\?\"
// paths and alternate data streams ("name:stream"). Such a request opens nothing.
#pragma once

#include <map>
#include <string>

namespace rs232 {

// Why the request path may not be used as a file name on this platform; empty when it may.
std::string UnsafeNameReason(const std::string& requestPath);

// The drives the platform has of its own, each letter to its root ("C" to "C:/"); [DRIVES]
// entries replace them. None on POSIX, where a drive exists only when [DRIVES] lists it.
std::map<char, std::string> NativeDrives();

}  // namespace rs232
