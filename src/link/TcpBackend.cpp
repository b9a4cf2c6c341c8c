#include "link/TcpBackend.h"

#include <algorithm>
#include <cerrno>

#include "link/SerialPort.h"
#include "link/TcpSocket.h"
#include "link/TlsClient.h"

namespace rs232 {

namespace {

// A TLS alert record (content type 21, version 3.x): the far end speaks TLS.
bool LooksLikeTls(const std::deque<uint8_t>& in) {
    return in.size() >= 3 && in[0] == 21 && in[1] == 3 && in[2] <= 4;
}

}  // namespace

CTcpBackend::CTcpBackend(std::string device, const STlsFiles* tls) : m_device(std::move(device)) {
    if (tls) m_tlsFiles = *tls;
}

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
    if (m_tlsFiles) {
        m_tls = std::make_unique<CTlsClient>();
        if (!m_tls->Load(*m_tlsFiles, why)) return Fail(kPortOpenFailed, why);
    }
    const auto deadline = Clock::now() + kConnectTimeout;
    const int connected = Connect(deadline);
    if (connected != kPortOk) return connected;
    if (m_tls && !m_tls->Handshake(m_fd, m_host, deadline, why))
        return Fail(kPortOpenFailed,
                    !why.empty() ? why
                                 : "no answer to the TLS handshake within " +
                                       std::to_string(kConnectTimeout.count()) +
                                       " s: a port without TLS wants tcp:// or rfc2217://");
    return Negotiate(line);
}

int CTcpBackend::Connect(Clock::time_point deadline) {
    tcp::SConnectFailure failure;
    m_fd = tcp::Connect(m_host, m_service, deadline, failure);
    if (m_fd == tcp::kNoSocket) {
        if (!failure.resolved)
            return Fail(kPortOpenFailed,
                        "cannot resolve " + m_host + " port " + m_service + ": " + failure.text);
        std::string why = failure.text;
        if (failure.timedOut)
            why += " (no answer within " + std::to_string(kConnectTimeout.count()) + " s)";
        return Fail(kPortOpenFailed, "cannot connect to " + m_host + " port " + m_service + ": " +
                                         why);
    }
    m_broken = false;
    m_received = 0;
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
    if (m_tls && !m_tls->Failure().empty()) return Fail(kPortOpenFailed, m_tls->Failure());
    // ser2net refuses a client certificate under TLS 1.3 by closing at once, no alert, no word;
    // a line in use it answers "Port already in use" first.
    if (m_tls && m_received == 0)
        return Fail(kPortOpenFailed,
                    "closed right after the TLS handshake: client certificate missing or refused");
    if (!m_tls && LooksLikeTls(m_in))
        return Fail(kPortOpenFailed, "the far end answered in TLS: the line wants a +tls:// URL");
    m_heldElsewhere = true;
    const std::string said = ClosedText();
    // A far end that wants TLS closes as silently as one that serves another connection.
    return Fail(kPortOpenFailed, "the far end closed the connection at once" +
                                     (said.empty() && !m_tls ? " without a word (the line in use, "
                                                               "or a port that wants a +tls:// URL)"
                                                             : said));
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
    if (m_tls) m_tls->Shutdown();
    const int fd = m_fd;
    m_fd = -1;
    m_in.clear();
    return tcp::Close(fd) ? kPortOk : kPortCloseFailed;
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
        const ssize_t n = Receive(buffer, sizeof buffer);
        if (n > 0) {
            m_received += static_cast<size_t>(n);
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

ssize_t CTcpBackend::Receive(uint8_t* buffer, size_t size) {
    return m_tls ? m_tls->Receive(buffer, size) : tcp::Receive(m_fd, buffer, size);
}

ssize_t CTcpBackend::Send(const uint8_t* data, size_t size) {
    return m_tls ? m_tls->Send(data, size) : tcp::Send(m_fd, data, size);
}

short CTcpBackend::WaitEvents(short plain) const { return m_tls ? m_tls->PollEvents(plain) : plain; }

bool CTcpBackend::PumpUntil(Clock::time_point deadline) {
    if (!tcp::Wait(m_fd, WaitEvents(tcp::kWaitRead), deadline)) m_broken = true;
    return Pump();
}

bool CTcpBackend::SendAll(const uint8_t* data, size_t length, Clock::time_point deadline) {
    size_t sent = 0;
    while (!m_broken && sent < length) {
        const ssize_t n = Send(data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        if (Clock::now() >= deadline || !tcp::Wait(m_fd, WaitEvents(tcp::kWaitWrite), deadline))
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

std::unique_ptr<IPortBackend> MakeTcpBackend(const std::string& device, const STlsFiles* tls) {
    return std::make_unique<CTcpBackend>(device, tls);
}

}  // namespace rs232
