// A local serial device on Win32 ("\\.\COMn"), in a style that works alike on Windows and on
// wine: overlapped I/O only, a reader thread whose reads end after a short quiet interval or a
// total time-out (ERROR_TIMEOUT counts as no bytes), a stop event, no WaitCommEvent and no
// MAXDWORD read time-outs, modem-line calls whose failure is tolerated. Exclusive opening is not
// enforced everywhere: the instance mutex of the port is the guard.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "link/PortBackend.h"
#include "link/SerialPort.h"
#include "platform/TextCodeWin32.h"

namespace rs232 {

namespace {

// A read returns once the line has been quiet this long after a byte, or after the total.
constexpr DWORD kReadIntervalMs = 20;
constexpr DWORD kReadTotalMs = 50;
constexpr DWORD kBrokenRetryMs = 100;   // between reads of a line that reports errors
constexpr size_t kMaxQueued = 64 * 1024;

class CComBackend : public IPortBackend {
public:
    explicit CComBackend(std::string device) : m_device(std::move(device)) {}
    ~CComBackend() override {
        if (m_handle != INVALID_HANDLE_VALUE) Close();
    }

    int Open(const SLineSettings& line) override {
        std::string path = m_device;
        if (!path.starts_with("\\\\.\\") && !path.starts_with("//./")) path = "\\\\.\\" + path;
        m_handle = CreateFileW(detail::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (m_handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
                return Fail(kPortOpenFailed,
                            std::string(std::strerror(EBUSY)) + ", in use by another program");
            return Fail(kPortOpenFailed, std::strerror(detail::ErrnoOf(error)));
        }
        PurgeComm(m_handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
        if (const int settings = ApplyLineSettings(line); settings != kPortOk)
            return Fail(settings, settings == kPortTimeoutsRefused
                                      ? "time-outs refused by the device"
                                      : "line settings refused by the device");
        // Pseudo-terminals under wine refuse these; the line works without them.
        EscapeCommFunction(m_handle, SETDTR);
        EscapeCommFunction(m_handle, SETRTS);
        m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_broken = false;
        m_reader = std::thread([this] { ReadLoop(); });
        return kPortOk;
    }

    int Close() override {
        if (m_reader.joinable()) {
            SetEvent(m_stop);
            m_reader.join();  // a read ends within its total time-out
        }
        if (m_stop) CloseHandle(m_stop);
        m_stop = nullptr;
        const HANDLE h = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        std::lock_guard lock(m_mutex);
        m_in.clear();
        return CloseHandle(h) ? kPortOk : kPortCloseFailed;
    }

    int Write(const uint8_t* p, int length, Clock::time_point deadline) override {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD written = 0;
        int result = 0;
        if (!WriteFile(m_handle, p, static_cast<DWORD>(length), &written, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                result = -detail::ErrnoOf(GetLastError());
            } else {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now());
                if (WaitForSingleObject(ov.hEvent, left.count() > 0 ? static_cast<DWORD>(left.count())
                                                                    : 0) != WAIT_OBJECT_0)
                    CancelIo(m_handle);
                if (!GetOverlappedResult(m_handle, &ov, &written, TRUE) &&
                    GetLastError() != ERROR_OPERATION_ABORTED && GetLastError() != ERROR_TIMEOUT)
                    result = -detail::ErrnoOf(GetLastError());
            }
        }
        CloseHandle(ov.hEvent);
        return result < 0 ? result : static_cast<int>(written);
    }

    int Read(void* buffer, int maxCount) override {
        std::lock_guard lock(m_mutex);
        const size_t n = std::min(m_in.size(), static_cast<size_t>(maxCount));
        std::copy_n(m_in.begin(), n, static_cast<uint8_t*>(buffer));
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<int>(n);
    }

    int InQueue() override {
        std::lock_guard lock(m_mutex);
        return static_cast<int>(m_in.size());
    }

    bool PurgeInput() override {
        std::lock_guard lock(m_mutex);
        m_in.clear();
        PurgeComm(m_handle, PURGE_RXCLEAR);
        return true;
    }

    bool HungUp() override { return m_broken; }

    int Fd() const override { return -1; }

private:
    int Fail(int code, const std::string& why) {
        m_error = "Serial port " + m_device + ": " + why;
        return code;
    }

    int ApplyLineSettings(const SLineSettings& line) {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(m_handle, &dcb)) return kPortSettingsRefused;
        if (line.baudRate <= 0) return kPortSettingsRefused;
        const int bits = line.dataBits & 0xFF;
        if (bits < 5 || bits > 8) return kPortSettingsRefused;
        dcb.BaudRate = static_cast<DWORD>(line.baudRate);
        dcb.ByteSize = static_cast<BYTE>(bits);
        dcb.fBinary = TRUE;
        dcb.fParity = line.parity != kNoParity;
        dcb.Parity = line.parity == kOddParity ? ODDPARITY : line.parity == kEvenParity ? EVENPARITY
                                                                                       : NOPARITY;
        dcb.StopBits = line.stopBits == kTwoStopBits ? TWOSTOPBITS : ONESTOPBIT;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = line.handshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fOutxCtsFlow = line.handshake ? TRUE : FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = dcb.fInX = line.xonXoff ? TRUE : FALSE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(m_handle, &dcb)) return kPortSettingsRefused;
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = kReadIntervalMs;
        timeouts.ReadTotalTimeoutConstant = kReadTotalMs;
        if (!SetCommTimeouts(m_handle, &timeouts)) return kPortTimeoutsRefused;
        return kPortOk;
    }

    void ReadLoop() {
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        uint8_t buffer[4096];
        while (WaitForSingleObject(m_stop, 0) != WAIT_OBJECT_0) {
            if (InQueue() >= static_cast<int>(kMaxQueued)) {
                WaitForSingleObject(m_stop, 1);
                continue;
            }
            ResetEvent(ov.hEvent);
            DWORD got = 0;
            bool ok = ReadFile(m_handle, buffer, sizeof buffer, &got, &ov);
            if (!ok && GetLastError() == ERROR_IO_PENDING)
                ok = GetOverlappedResult(m_handle, &ov, &got, TRUE);
            if (!ok && GetLastError() == ERROR_TIMEOUT) ok = true, got = 0;
            m_broken = !ok;
            if (!ok) {
                WaitForSingleObject(m_stop, kBrokenRetryMs);
                continue;
            }
            if (got > 0) {
                std::lock_guard lock(m_mutex);
                m_in.insert(m_in.end(), buffer, buffer + got);
            }
        }
        CloseHandle(ov.hEvent);
    }

    std::string m_device;
    HANDLE m_handle = INVALID_HANDLE_VALUE;
    HANDLE m_stop = nullptr;
    std::thread m_reader;
    std::mutex m_mutex;
    std::deque<uint8_t> m_in;
    std::atomic<bool> m_broken{false};
};

}  // namespace

std::unique_ptr<IPortBackend> MakeTtyBackend(const std::string& device) {
    return std::make_unique<CComBackend>(device);
}

std::string DefaultDeviceName(int port) { return "COM" + std::to_string(port); }

// Neither a COM port nor a socket here is a descriptor to wait on: input is looked for each
// millisecond, which the reader thread and the socket fill meanwhile.
void WaitForInput(IPortBackend& backend, IPortBackend::Clock::time_point until) {
    while (IPortBackend::Clock::now() < until && backend.InQueue() <= 0 && !backend.HungUp())
        Sleep(1);
}

}  // namespace rs232
