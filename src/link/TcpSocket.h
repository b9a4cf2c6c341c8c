// The socket calls under a network line (CTcpBackend), which holds the rules: TcpSocket.cpp on
// POSIX, TcpSocketWin32.cpp on Winsock. A socket is an int, kNoSocket when there is none; every
// call returns at once or by its deadline.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace rs232::tcp {

using Clock = std::chrono::steady_clock;

constexpr int kNoSocket = -1;
// A far end that vanishes without closing (power cut, cable pulled) is noticed after
// idle + interval * count of silence (Windows fixes the count itself).
constexpr std::chrono::seconds kKeepAliveIdle{10};
constexpr std::chrono::seconds kKeepAliveInterval{5};
constexpr int kKeepAliveCount = 3;

// What Wait waits for: the platform's poll events for input and for room to send.
extern const short kWaitRead;
extern const short kWaitWrite;

// Why Connect found no connection: the name did not resolve, or no address answered in time,
// or the system's words for the last address's error.
struct SConnectFailure {
    bool resolved = false;
    bool timedOut = false;
    std::string text;
};

// A connected non-blocking socket to host's addresses tried in turn by deadline, sending each
// write at once and probing a silent far end; kNoSocket with failure filled otherwise.
int Connect(const std::string& host, const std::string& service, Clock::time_point deadline,
            SConnectFailure& failure);
// False when the system reports the close failed.
bool Close(int socket);
// As recv and send with MSG_DONTWAIT: bytes moved, Receive 0 when the far end closed; -1 with
// errno EAGAIN when nothing moves now, another errno on failure.
ssize_t Receive(int socket, void* buffer, size_t size);
ssize_t Send(int socket, const void* data, size_t size);
// Waits for events (kWaitRead, kWaitWrite) until deadline; false when the wait itself failed.
bool Wait(int socket, short events, Clock::time_point deadline);

// Milliseconds left until deadline, 0 once it passed.
inline int MsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace rs232::tcp
