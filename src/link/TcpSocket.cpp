#include "link/TcpSocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rs232::tcp {

const short kWaitRead = POLLIN;
const short kWaitWrite = POLLOUT;

namespace {

void SetOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

int Connect(const std::string& host, const std::string& service, Clock::time_point deadline,
            SConnectFailure& failure) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        failure = {false, false, ::gai_strerror(rc)};
        return kNoSocket;
    }
    int connected = kNoSocket;
    int error = ETIMEDOUT;
    for (addrinfo* a = found; a && connected == kNoSocket; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                a->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd pfd{fd, POLLOUT, 0};
                int r;
                do {
                    r = ::poll(&pfd, 1, MsUntil(deadline));
                } while (r < 0 && errno == EINTR);
                socklen_t length = sizeof error;
                if (r <= 0)
                    error = ETIMEDOUT;
                else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
            if (error != 0) {
                ::close(fd);
                continue;
            }
        }
        connected = fd;
    }
    ::freeaddrinfo(found);
    if (connected == kNoSocket) {
        failure = {true, error == ETIMEDOUT, std::strerror(error)};
        return kNoSocket;
    }
    SetOption(connected, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(connected, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(connected, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(kKeepAliveIdle.count()));
    SetOption(connected, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(kKeepAliveInterval.count()));
    SetOption(connected, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveCount);
    return connected;
}

bool Close(int socket) { return ::close(socket) == 0 || errno == EINTR; }

ssize_t Receive(int socket, void* buffer, size_t size) {
    return ::recv(socket, buffer, size, MSG_DONTWAIT);
}

ssize_t Send(int socket, const void* data, size_t size) {
    return ::send(socket, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
}

bool Wait(int socket, short events, Clock::time_point deadline) {
    pollfd pfd{socket, events, 0};
    return ::poll(&pfd, 1, MsUntil(deadline)) >= 0 || errno == EINTR;
}

}  // namespace rs232::tcp
