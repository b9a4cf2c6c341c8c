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

// The settings file of an executable: "<executable>.ini", on Windows the executable's path with
// its last three characters replaced by "ini" (rs232-server.exe: rs232-server.ini).
std::string SettingsPathOf(const std::string& executable);

// Where rs232-status looks for the state files when neither its argument nor RS232_STATUS_DIR
// names a directory: /run/rs232-server, on Windows %ProgramData%\rs232-server.
std::string DefaultStatusDir();

// The separator the platform writes between a directory and a name ('/', or '\\' on Windows);
// a path ending in either separator the platform takes ends in a directory.
extern const char kDirSeparator;
bool EndsInSeparator(const std::string& path);

}  // namespace rs232
