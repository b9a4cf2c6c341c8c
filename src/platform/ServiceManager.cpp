#include "platform/ServiceManager.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rs232 {

CNotifySocket::CNotifySocket() {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (!name || (name[0] != '/' && name[0] != '@')) return;
    m_address = name;
    if (m_address.size() >= sizeof(sockaddr_un::sun_path)) return;
    if (m_address[0] == '@') m_address[0] = '\0';
    m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

CNotifySocket::~CNotifySocket() {
    if (m_fd >= 0) close(m_fd);
}

bool CNotifySocket::Send(const std::string& message) const {
    if (m_fd < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_address.data(), m_address.size());
    // A path is NUL-terminated by the zeroed address; an abstract name counts its bytes exactly.
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_address.size() +
                                               (m_address[0] == '\0' ? 0 : 1));
    return sendto(m_fd, message.data(), message.size(), MSG_NOSIGNAL,
                  reinterpret_cast<const sockaddr*>(&address), length) ==
           static_cast<ssize_t>(message.size());
}

bool IsJournalStream(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

}  // namespace rs232
