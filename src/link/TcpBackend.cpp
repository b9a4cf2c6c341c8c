#include "link/TcpBackend.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "link/SerialPort.h"

namespace rs232 {

namespace {

// A far end that vanishes without closing (power cut, cable pulled) is noticed after
// idle + interval * count seconds of silence.
constexpr int kKeepAliveIdleS = 10;
constexpr int kKeepAliveIntervalS = 5;
constexpr int kKeepAliveCount = 3;

int MsUntil(IPortBackend::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - IPortBackend::Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

void SetOption(int fd, int level, int name, int value) {
    ::setsockopt(fd, level, name, &value, sizeof value);
}

}  // namespace

CTcpBackend::CTcpBackend(std::string device) : m_device(std::move(device)) {}

CTcpBackend::~CTcpBackend() {
    if (m_fd >= 0) Close();
}

int CTcpBackend::Fail(int code, const std::string& why) {
    m_error = "Serial port " + m_device + ": " + why;
    return code;
}

int CTcpBackend::Open(const SLineSettings& line) {
    std::string why;
    if (!ReadNetworkAddress(m_device, m_host, m_service, why)) return Fail(kPortOpenFailed, why);
    const int connected = Connect();
    if (connected != kPortOk) return connected;
    return Negotiate(line);
}

int CTcpBackend::Connect() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(m_host.c_str(), m_service.c_str(), &hints, &found); rc != 0)
        return Fail(kPortOpenFailed, "cannot resolve " + m_host + " port " + m_service + ": " +
                                         ::gai_strerror(rc));
    const auto deadline = Clock::now() + kConnectTimeout;
    int error = ETIMEDOUT;
    for (addrinfo* a = found; a && m_fd < 0; a = a->ai_next) {
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
        m_fd = fd;
    }
    ::freeaddrinfo(found);
    if (m_fd < 0) {
        std::string why = std::strerror(error);
        if (error == ETIMEDOUT)
            why += " (no answer within " + std::to_string(kConnectTimeout.count()) + " s)";
        return Fail(kPortOpenFailed, "cannot connect to " + m_host + " port " + m_service + ": " +
                                         why);
    }
    // Every block round waits for a one-byte answer: nothing may sit in the send buffer.
    SetOption(m_fd, IPPROTO_TCP, TCP_NODELAY, 1);
    SetOption(m_fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    SetOption(m_fd, IPPROTO_TCP, TCP_KEEPIDLE, kKeepAliveIdleS);
    SetOption(m_fd, IPPROTO_TCP, TCP_KEEPINTVL, kKeepAliveIntervalS);
    SetOption(m_fd, IPPROTO_TCP, TCP_KEEPCNT, kKeepAliveCount);
    m_broken = false;
    return kPortOk;
}

int CTcpBackend::Negotiate(const SLineSettings&) {
    const auto end = Clock::now() + kRefusalWindow;
    while (Clock::now() < end)
        if (!PumpUntil(end))
            return HeldByAnother();
    return kPortOk;
}

int CTcpBackend::HeldByAnother() {
    m_heldElsewhere = true;
    return Fail(kPortOpenFailed, "the far end closed the connection at once" + ClosedText());
}

std::string CTcpBackend::ClosedText() const {
    std::string text;
    for (uint8_t c : m_in) {
        if (text.size() >= 80) break;
        if (c >= 0x20 && c < 0x7F) text += static_cast<char>(c);
        else if (!text.empty() && text.back() != ' ') text += ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text.empty() ? std::string() : ": " + text;
}

int CTcpBackend::Close() {
    if (m_fd < 0) return kPortOk;  // settings refused before connecting
    const int fd = m_fd;
    m_fd = -1;
    m_in.clear();
    return ::close(fd) != 0 && errno != EINTR ? kPortCloseFailed : kPortOk;
}

void CTcpBackend::Decode(const uint8_t* data, size_t length) {
    m_in.insert(m_in.end(), data, data + length);
}

void CTcpBackend::Encode(const uint8_t* data, int length, std::vector<uint8_t>& out) {
    out.assign(data, data + length);
}

bool CTcpBackend::Pump() {
    uint8_t buffer[4096];
    while (!m_broken && m_in.size() < kMaxQueued) {
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            Decode(buffer, static_cast<size_t>(n));
        } else if (n == 0) {
            m_broken = true;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            break;
        } else if (errno != EINTR) {
            m_broken = true;
        }
    }
    return !m_broken;
}

bool CTcpBackend::PumpUntil(Clock::time_point deadline) {
    pollfd pfd{m_fd, POLLIN, 0};
    if (::poll(&pfd, 1, MsUntil(deadline)) < 0 && errno != EINTR) m_broken = true;
    return Pump();
}

bool CTcpBackend::SendAll(const uint8_t* data, size_t length, Clock::time_point deadline) {
    size_t sent = 0;
    while (!m_broken && sent < length) {
        const ssize_t n = ::send(m_fd, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        pollfd pfd{m_fd, POLLOUT, 0};
        if (Clock::now() >= deadline || (::poll(&pfd, 1, MsUntil(deadline)) < 0 && errno != EINTR))
            break;
    }
    // Part of an escape may be out: the stream cannot be trusted any more.
    if (sent < length) m_broken = true;
    return !m_broken;
}

int CTcpBackend::Write(const uint8_t* data, int length, Clock::time_point deadline) {
    std::vector<uint8_t> out;
    Encode(data, length, out);
    if (m_broken) return -EPIPE;
    return SendAll(out.data(), out.size(), deadline) ? length : 0;
}

int CTcpBackend::Read(void* buffer, int maxCount) {
    Pump();
    const size_t n = std::min(m_in.size(), static_cast<size_t>(maxCount));
    std::copy_n(m_in.begin(), n, static_cast<uint8_t*>(buffer));
    m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int>(n);
}

int CTcpBackend::InQueue() {
    Pump();
    return static_cast<int>(m_in.size());
}

bool CTcpBackend::PurgeInput() {
    Pump();
    m_in.clear();
    return true;
}

bool CTcpBackend::HungUp() {
    Pump();
    return m_broken;
}

std::unique_ptr<IPortBackend> MakeTcpBackend(const std::string& device) {
    return std::make_unique<CTcpBackend>(device);
}

}  // namespace rs232
