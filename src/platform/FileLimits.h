// Files and size limits: a small file read whole, and writes beyond the process's file size
// limit. FileLimits.cpp on POSIX, FileLimitsWin32.cpp on Windows.
#pragma once

#include <cstddef>
#include <string>

namespace rs232 {

// Reads a regular file of at most maxBytes into text, without blocking: anything else (a FIFO,
// a device, a directory) fails with EINVAL before it is opened and a longer file with EFBIG,
// unread. False on failure (errno).
bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& text);

// For the whole process: a write beyond its file size limit fails (EFBIG) instead of ending
// the process by its signal.
void IgnoreFileSizeSignal();

}  // namespace rs232
