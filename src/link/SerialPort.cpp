#include "link/SerialPort.h"

#include "platform/PortNumber.h"

#include <algorithm>
#include <cstdio>
#include <thread>

namespace rs232 {

namespace {

constexpr int kWriteMsPerByte = 10;
constexpr int kWriteMsConstant = 1000;

}  // namespace

CSerialPort::~CSerialPort() {
    if (IsOpen()) Close();
}

std::string CSerialPort::DeviceName(int port) const {
    auto it = m_deviceMap.find(port);
    if (it != m_deviceMap.end()) return it->second;
    return DefaultDeviceName(port);
}

std::string CSerialPort::Notice(int port) const {
    const std::string device = DeviceName(port);
    const char* notice = PortBackendKind(device).notice;
    if (!notice) return {};
    char text[512];
    std::snprintf(text, sizeof text, notice, device.c_str());
    return text;
}

int CSerialPort::SetParams(int baudRate, char parity, int dataBits, int stopBits, int handshake,
                           int xonXoff) {
    m_nBaudRate = baudRate;
    m_nDataBits = dataBits;
    m_bHandshake = handshake;
    m_bXonXoff = xonXoff;
    if (parity == 'E' || parity == 'e')
        m_nParity = kEvenParity;
    else if (parity == 'O' || parity == 'o')
        m_nParity = kOddParity;
    else
        m_nParity = kNoParity;
    m_nStopBits = stopBits == 2 ? kTwoStopBits : kNoStopBits1;
    return kPortOk;
}

int CSerialPort::Open(int port) {
    if (!IsPortNumber(port)) return kPortOutOfRange;
    if (IsOpen()) return kPortAlreadyOpen;

    const std::string device = DeviceName(port);
    const SPortBackendKind& kind = PortBackendKind(device);
    auto backend = kind.create(device, kind.tls ? &m_tlsFiles : nullptr);
    const int opened = backend->Open(
        {m_nBaudRate, m_nDataBits, m_nParity, m_nStopBits, m_bHandshake, m_bXonXoff});
    m_lastError = opened == kPortOk ? std::string() : backend->ErrorText();
    m_bHeldElsewhere = backend->HeldElsewhere();
    if (opened == kPortOpenFailed) return opened;
    // Refused settings leave the port open, for the caller to close.
    m_backend = std::move(backend);
    m_nPort = port;
    return opened;
}

int CSerialPort::Close() {
    if (!IsOpen()) return kPortNotOpen;
    const int closed = m_backend->Close();
    m_backend.reset();
    return closed;
}

int CSerialPort::Write(const void* data, int length) {
    if (!IsOpen()) return kPortNotOpen;
    if (length <= 0) return 0;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(kWriteMsPerByte * length + kWriteMsConstant);
    return m_backend->Write(static_cast<const uint8_t*>(data), length, deadline);
}

int CSerialPort::WriteByte(int byte) {
    const uint8_t b = static_cast<uint8_t>(byte & 0xFF);
    return Write(&b, 1);
}

int CSerialPort::Read(void* buffer, int maxCount) {
    if (!IsOpen()) return kPortNotOpen;
    if (maxCount <= 0) return 0;
    return m_backend->Read(buffer, maxCount);
}

int CSerialPort::GetInQueue() {
    if (!IsOpen()) return kPortNotOpen;
    return m_backend->InQueue();
}

int CSerialPort::PurgeInput() {
    if (!IsOpen()) return kPortNotOpen;
    return m_backend->PurgeInput() ? kPortOk : kPortPurgeFailed;
}

bool CSerialPort::HasHungUp() const { return IsOpen() && m_backend->HungUp(); }

bool CSerialPort::IsQuiet() const { return IsOpen() && m_backend->Quiet(); }

std::chrono::microseconds CSerialPort::LineTime(int bytes) const {
    const int baud = m_nBaudRate > 0 ? m_nBaudRate : 9600;
    return std::chrono::microseconds(int64_t{bytes} * 10'000'000 / baud);
}

void CSerialPort::WaitReadable(Clock::time_point until) {
    // A hung-up line reports itself at once: wait out the time rather than spin.
    if (m_backend->HungUp()) {
        std::this_thread::sleep_until(until);
        return;
    }
    WaitForInput(*m_backend, until);
}

int CSerialPort::ReadWithin(void* buffer, int count, Clock::time_point deadline) {
    if (!IsOpen()) return kPortNotOpen;
    auto* out = static_cast<uint8_t*>(buffer);
    int got = 0;
    // The bytes cannot all be here before their line time from now has passed; sleeping up to
    // then batches their arrival. Bytes that come in bursts (a terminal server) or late are
    // waited for with poll() from then on, never a sleep past their arrival.
    const auto sleepUntil = Clock::now() + LineTime(count) - kArrivalWindow;
    while (got < count) {
        const int n = m_backend->Read(out + got, count - got);
        if (n > 0) {
            got += n;
            continue;
        }
        const auto now = Clock::now();
        if (now >= deadline) break;
        const auto sliceEnd = std::min(deadline, now + kWaitSlice);
        if (now < sleepUntil)
            std::this_thread::sleep_until(std::min(sliceEnd, sleepUntil));
        else
            WaitReadable(sliceEnd);
    }
    return got;
}

int CSerialPort::WaitForInQueue(int count, Clock::time_point deadline) {
    for (;;) {
        const int queued = GetInQueue();
        if (queued < 0 || queued >= count) return queued;
        const auto now = Clock::now();
        if (now >= deadline) return queued;
        const auto sliceEnd = std::min(deadline, now + kWaitSlice);
        if (queued > 0) {
            // Part of what we wait for is here, so poll() would return at once: sleep for the
            // line time of the missing bytes instead, never past the slice.
            const auto lineTime =
                std::max(LineTime(count - queued), std::chrono::microseconds(100));
            std::this_thread::sleep_until(std::min(sliceEnd, now + lineTime));
            continue;
        }
        WaitReadable(sliceEnd);
    }
}

}  // namespace rs232
