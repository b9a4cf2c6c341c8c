#include "link/TcpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace rs232::tcp {

const short kWaitRead = POLLRDNORM;
const short kWaitWrite = POLLWRNORM;

namespace {

SOCKET Sock(int fd) { return static_cast<SOCKET>(fd); }

int Poll(SOCKET s, short events, Clock::time_point deadline) {
    WSAPOLLFD pfd{s, events, 0};
    return ::WSAPoll(&pfd, 1, MsUntil(deadline));
}

// Winsock is started once, for the life of the process.
bool StartWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::string SocketErrorText(int error) {
    if (error == WSAETIMEDOUT) return std::strerror(ETIMEDOUT);
    if (error == WSAECONNREFUSED) return std::strerror(ECONNREFUSED);
    if (error == WSAEHOSTUNREACH || error == WSAENETUNREACH) return std::strerror(EHOSTUNREACH);
    return "Winsock error " + std::to_string(error);
}

// The result of a call that moved nothing, in the POSIX manner the line's rules read.
ssize_t Stopped() {
    errno = ::WSAGetLastError() == WSAEWOULDBLOCK ? EAGAIN : ECONNRESET;
    return -1;
}

}  // namespace

int Connect(const std::string& host, const std::string& service, Clock::time_point deadline,
            SConnectFailure& failure) {
    if (!StartWinsock()) {
        failure = {true, false, "Winsock could not be started"};
        return kNoSocket;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        failure = {false, false, SocketErrorText(rc)};
        return kNoSocket;
    }
    SOCKET connected = INVALID_SOCKET;
    int error = WSAETIMEDOUT;
    for (addrinfo* a = found; a && connected == INVALID_SOCKET; a = a->ai_next) {
        const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) {
            error = ::WSAGetLastError();
            continue;
        }
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        if (::connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            error = ::WSAGetLastError();
            if (error == WSAEWOULDBLOCK) {
                const int r = Poll(s, POLLWRNORM, deadline);
                int length = sizeof error;
                if (r <= 0)
                    error = WSAETIMEDOUT;
                else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                                      &length) != 0)
                    error = ::WSAGetLastError();
            }
            if (error != 0) {
                ::closesocket(s);
                continue;
            }
        }
        connected = s;
    }
    ::freeaddrinfo(found);
    if (connected == INVALID_SOCKET) {
        failure = {true, error == WSAETIMEDOUT, SocketErrorText(error)};
        return kNoSocket;
    }
    const int on = 1;
    ::setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                 sizeof on);
    tcp_keepalive keepAlive{1, static_cast<u_long>(kKeepAliveIdle.count() * 1000),
                            static_cast<u_long>(kKeepAliveInterval.count() * 1000)};
    DWORD returned = 0;
    ::WSAIoctl(connected, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned,
               nullptr, nullptr);
    return static_cast<int>(connected);
}

bool Close(int socket) { return ::closesocket(Sock(socket)) == 0; }

ssize_t Receive(int socket, void* buffer, size_t size) {
    const int n = ::recv(Sock(socket), static_cast<char*>(buffer),
                         static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    return n >= 0 ? n : Stopped();
}

ssize_t Send(int socket, const void* data, size_t size) {
    const int n = ::send(Sock(socket), static_cast<const char*>(data),
                         static_cast<int>(std::min<size_t>(size, 1 << 20)), 0);
    return n >= 0 ? n : Stopped();
}

bool Wait(int socket, short events, Clock::time_point deadline) {
    return Poll(Sock(socket), events, deadline) >= 0;
}

}  // namespace rs232::tcp
