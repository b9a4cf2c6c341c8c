// Paths as the server works them out. Nothing here throws or fails: each says what it gives
// when the system cannot tell.
#pragma once

#include <string>

namespace rs232 {

// The absolute path with "." and ".." taken out and every symbolic link of its existing part
// resolved, a dangling one included; the part that does not exist yet is normalised by its text
// alone.
std::string CanonicalPath(const std::string& path);

// The path as "/a/b" with "." and ".." taken out by its text alone (no link is followed): ".."
// at the top stays there, as it does at the root.
std::string NormalPath(const std::string& path);

// The directory part of a path, up to and including its last '/'; empty when there is none.
std::string DirectoryOf(const std::string& path);

// Full path of the running executable (/proc/self/exe); empty when it cannot be read.
std::string ExecutablePath();

}  // namespace rs232
