#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "app/ServerApp.h"

namespace rs232 {

bool ClaimInstanceMarker(int port) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;
    const std::string name = InstanceMarkerName(port);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    // Abstract namespace: a leading NUL, then the name without a terminator.
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0)
        return true;  // fd stays open, and with it the marker, until the process ends
    const int error = errno;
    close(fd);
    return error != EADDRINUSE;
}

}  // namespace rs232
