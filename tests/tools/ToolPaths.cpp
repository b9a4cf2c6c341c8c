#include "ToolPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <stdexcept>

namespace rs232::test {

using Clock = std::chrono::steady_clock;

CLineEnd::CLineEnd(const std::string& path) {
    m_fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) throw std::runtime_error("cannot open " + path);
    termios tio{};
    tcgetattr(m_fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_fd, TCSANOW, &tio);
}

CLineEnd::~CLineEnd() {
    if (m_fd >= 0) close(m_fd);
}

void CLineEnd::Write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{m_fd, POLLOUT, 0};
            poll(&p, 1, 1000);
        } else {
            throw std::runtime_error("write to line failed");
        }
    }
}

std::vector<uint8_t> CLineEnd::Read(size_t n, std::chrono::milliseconds timeout) {
    std::vector<uint8_t> out;
    const auto deadline = Clock::now() + timeout;
    while (out.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        uint8_t buf[4096];
        ssize_t got = read(m_fd, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
}

std::vector<uint8_t> CLineEnd::ReadUntilQuiet(std::chrono::milliseconds quiet,
                                              std::chrono::milliseconds limit) {
    std::vector<uint8_t> out;
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        auto more = Read(65536, quiet);
        if (more.empty()) break;
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

std::vector<uint8_t> PatternBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

}  // namespace rs232::test
