#include "platform/FileLimits.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>

#include "platform/PosixFile.h"

namespace rs232 {

using detail::CErrnoKeeper;

bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& text) {
    text.clear();
    // Looked at before it is opened: opening a device may do something, a FIFO may block.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return false;
    bool ok = ::fstat(fd, &st) == 0;  // the name may have been replaced meanwhile
    if (ok && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    if (ok && static_cast<uint64_t>(st.st_size) > maxBytes) {
        errno = EFBIG;
        ok = false;
    }
    // One byte more than allowed tells a file that grew meanwhile.
    if (ok) text.resize(maxBytes + 1);
    size_t got = 0;
    while (ok && got < text.size()) {
        const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (ok && got > maxBytes) {
        errno = EFBIG;
        ok = false;
    }
    CErrnoKeeper keep;
    ::close(fd);
    text.resize(ok ? got : 0);
    return ok;
}

void IgnoreFileSizeSignal() { ::signal(SIGXFSZ, SIG_IGN); }

}  // namespace rs232
