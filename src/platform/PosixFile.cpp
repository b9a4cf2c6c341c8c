#include "platform/PosixFile.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rs232::detail {

bool WriteAll(int fd, const char* data, size_t count) {
    while (count > 0) {
        const ssize_t n = ::write(fd, data, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {  // nothing taken and no error: treat as a full device
            errno = ENOSPC;
            return false;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

// File systems without RENAME_NOREPLACE get a check before a plain rename (a small window, but
// no worse than the platform allows).
int RenameNoReplace(int oldDir, const std::string& oldName, int newDir,
                    const std::string& newName) {
    if (::renameat2(oldDir, oldName.c_str(), newDir, newName.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP && errno != EOPNOTSUPP) return -1;
    struct stat st {};
    if (::fstatat(newDir, newName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::renameat(oldDir, oldName.c_str(), newDir, newName.c_str());
}

int OpenRegularLocked(const std::string& path, int access, int lock, struct stat& st) {
    const int fd = ::open(path.c_str(), access | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    if (fd < 0) return -1;
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    else if (!S_ISREG(st.st_mode))
        error = EINVAL;
    else if (::flock(fd, lock | LOCK_NB) != 0)  // someone holds it open exclusively
        error = errno;
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

}  // namespace rs232::detail
