// Internal to the platform layer: the descriptor-level steps its file units share. Each
// reports failure through its result with errno set, and never throws.
#pragma once

#include <cerrno>
#include <cstddef>
#include <string>

struct stat;

namespace rs232::detail {

// Keeps errno across the clean-up calls of a failure path.
class CErrnoKeeper {
public:
    CErrnoKeeper() : m_saved(errno) {}
    ~CErrnoKeeper() { errno = m_saved; }

private:
    int m_saved;
};

// write() until all count bytes are out; a device that takes nothing counts as full (ENOSPC).
bool WriteAll(int fd, const char* data, size_t count);

// renameat() that never replaces an existing newName: 0, or -1 with errno.
int RenameNoReplace(int oldDir, const std::string& oldName, int newDir, const std::string& newName);

// Opens a regular file and takes an flock of the given kind without waiting. O_NONBLOCK keeps a
// FIFO from stalling the open; directories (EISDIR) and other non-regular files (EINVAL) are
// refused. The descriptor, or -1 with errno set.
int OpenRegularLocked(const std::string& path, int access, int lock, struct stat& st);

}  // namespace rs232::detail
