#include "support/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace rs232::test {

static const CCrc32& Crc() {
    static const CCrc32 crc = [] {
        CCrc32 c;
        c.BuildTable();
        return c;
    }();
    return crc;
}

static void MakeRaw(int fd) {
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

CPty::CPty() {
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
    // Not inherited: a child holding the master would keep the line up after the test let go.
    fcntl(m_master, F_SETFD, FD_CLOEXEC);
    fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    MakeRaw(m_slave);
    m_slavePath = name;
}

CPty::CPty(const std::string& devicePath) : m_master(open(devicePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    if (m_master < 0) throw std::runtime_error("cannot open " + devicePath);
    MakeRaw(m_master);
}

CPty::~CPty() {
    if (m_master >= 0) close(m_master);
    if (m_slave >= 0) close(m_slave);
}

void CPty::Send(const Bytes& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN) throw std::runtime_error("pty write failed");
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

Bytes CPty::Read(size_t n, std::chrono::milliseconds timeout) {
    Bytes out;
    for (const auto deadline = std::chrono::steady_clock::now() + timeout; out.size() < n;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{m_master, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        uint8_t buf[4096];
        const ssize_t got = read(m_master, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes CPty::ReadUntilQuiet(std::chrono::milliseconds quiet) {
    Bytes out;
    for (Bytes more; !(more = Read(4096, quiet)).empty();) out.insert(out.end(), more.begin(), more.end());
    return out;
}

bool CPty::ReadBlock(SReadBlock& block, std::chrono::milliseconds timeout) {
    block = SReadBlock{};
    block.raw = Read(1, timeout);
    if (block.raw != Bytes{STX}) return false;
    const Bytes header = Read(kBlockHeaderSize);
    if (header.size() != static_cast<size_t>(kBlockHeaderSize)) return false;
    const SBlockHeader h = ParseBlockHeader(header.data());
    if (!h.lenAcceptable) return false;
    const Bytes rest = Read(static_cast<size_t>(h.len + kBlockTailSize));
    if (rest.size() != static_cast<size_t>(h.len + kBlockTailSize)) return false;
    block.type = h.type;
    block.cnt = h.cnt;
    block.len = h.len;
    block.data.assign(rest.begin(), rest.begin() + h.len);
    block.raw.insert(block.raw.end(), header.begin(), header.end());
    block.raw.insert(block.raw.end(), rest.begin(), rest.end());
    block.valid = CheckBlock(Crc(), header.data(), block.data.data(), h.len, rest.data() + h.len) == BlockCheck::Ok;
    return true;
}

Bytes MakeBlock(const char* type, long cnt, const Bytes& data) {
    return BuildBlock(Crc(), type, cnt, data.data(), static_cast<int>(data.size()));
}

Bytes MakeBlock(const char* type, long cnt, const std::string& data) { return MakeBlock(type, cnt, Bytes(data.begin(), data.end())); }

std::string Text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace rs232::test
