#include "link/SerialPort.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "link/SerialSpeed.h"

namespace rs232 {

namespace {

constexpr int kWriteMsPerByte = 10;
constexpr int kWriteMsConstant = 1000;

speed_t StandardSpeed(int baud) {
    switch (baud) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 1152000: return B1152000;
        case 1500000: return B1500000;
        case 2000000: return B2000000;
        default: return 0;
    }
}

}  // namespace

CSerialPort::~CSerialPort() {
    if (IsOpen()) Close();
}

std::string CSerialPort::DeviceName(int port) const {
    auto it = m_deviceMap.find(port);
    if (it != m_deviceMap.end()) return it->second;
    return "/dev/ttyS" + std::to_string(port - 1);
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
    if (port < 1 || port > 16) return kPortOutOfRange;
    if (IsOpen()) return kPortAlreadyOpen;

    const std::string device = DeviceName(port);
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return kPortOpenFailed;
    // Exclusive like an unshared open: a device in use fails like a failed open.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kPortOpenFailed;
    }
    ::ioctl(fd, TIOCEXCL);
    m_hPort = fd;
    m_nPort = port;

    ::tcflush(fd, TCIOFLUSH);
    const int settings = ApplyLineSettings();
    if (settings != kPortOk) return settings;

    // Modem lines and the low-latency request: pseudo-terminals and some adapters refuse them,
    // and the line works without them, so their results are ignored.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &serial);
    }
    return kPortOk;
}

int CSerialPort::ApplyLineSettings() {
    termios tio{};
    if (::tcgetattr(m_hPort, &tio) != 0) return kPortSettingsRefused;
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    switch (m_nDataBits & 0xFF) {
        case 5: tio.c_cflag |= CS5; break;
        case 6: tio.c_cflag |= CS6; break;
        case 7: tio.c_cflag |= CS7; break;
        case 8: tio.c_cflag |= CS8; break;
        default: return kPortSettingsRefused;
    }
    if (m_nParity == kOddParity) tio.c_cflag |= PARENB | PARODD;
    if (m_nParity == kEvenParity) tio.c_cflag |= PARENB;
    if (m_nStopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
    if (m_bHandshake) tio.c_cflag |= CRTSCTS;
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag |= INPCK;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (m_bXonXoff) {
        tio.c_iflag |= IXON | IXOFF;
        tio.c_cc[VSTART] = 0x11;
        tio.c_cc[VSTOP] = 0x13;
    }
    // Reads never wait: they return at once with whatever is queued.
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;

    const speed_t speed = StandardSpeed(m_nBaudRate);
    if (m_nBaudRate <= 0) return kPortSettingsRefused;
    if (speed != 0 && ::cfsetspeed(&tio, speed) != 0) return kPortSettingsRefused;
    if (::tcsetattr(m_hPort, TCSANOW, &tio) != 0) return kPortSettingsRefused;
    if (speed == 0 && !SetCustomSpeed(m_hPort, m_nBaudRate)) return kPortSettingsRefused;

    // tcsetattr succeeds when any one change took; read back what the driver kept.
    termios check{};
    if (::tcgetattr(m_hPort, &check) != 0) return kPortTimeoutsRefused;
    if (check.c_cc[VMIN] != 0 || check.c_cc[VTIME] != 0) return kPortTimeoutsRefused;
    if ((check.c_cflag & CSIZE) != (tio.c_cflag & CSIZE)) return kPortSettingsRefused;
    if (speed != 0 && cfgetospeed(&check) != speed) return kPortSettingsRefused;
    return kPortOk;
}

int CSerialPort::Close() {
    if (!IsOpen()) return kPortNotOpen;
    const int fd = m_hPort;
    m_hPort = -1;
    ::ioctl(fd, TIOCNXCL);
    // Linux releases the descriptor whatever close() reports: never close that number again.
    if (::close(fd) != 0 && errno != EINTR) return kPortCloseFailed;
    return kPortOk;
}

int CSerialPort::Write(const void* data, int length) {
    if (!IsOpen()) return kPortNotOpen;
    if (length <= 0) return 0;
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(kWriteMsPerByte * length + kWriteMsConstant);
    const auto* p = static_cast<const uint8_t*>(data);
    int written = 0;
    while (written < length) {
        ssize_t n = ::write(m_hPort, p + written, static_cast<size_t>(length - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return -errno;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd pfd{m_hPort, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return -errno;
    }
    return written;
}

int CSerialPort::WriteByte(int byte) {
    const uint8_t b = static_cast<uint8_t>(byte & 0xFF);
    return Write(&b, 1);
}

int CSerialPort::Read(void* buffer, int maxCount) {
    if (!IsOpen()) return kPortNotOpen;
    if (maxCount <= 0) return 0;
    ssize_t n;
    do {
        n = ::read(m_hPort, buffer, static_cast<size_t>(maxCount));
    } while (n < 0 && errno == EINTR);
    return n > 0 ? static_cast<int>(n) : 0;
}

int CSerialPort::GetInQueue() {
    if (!IsOpen()) return kPortNotOpen;
    int count = 0;
    if (::ioctl(m_hPort, FIONREAD, &count) != 0) return 0;
    return count;
}

int CSerialPort::PurgeInput() {
    if (!IsOpen()) return kPortNotOpen;
    return ::tcflush(m_hPort, TCIFLUSH) == 0 ? kPortOk : kPortPurgeFailed;
}

bool CSerialPort::HasHungUp() const {
    if (!IsOpen()) return false;
    pollfd pfd{m_hPort, POLLIN, 0};
    if (::poll(&pfd, 1, 0) <= 0) return false;
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
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
            const int baud = m_nBaudRate > 0 ? m_nBaudRate : 9600;
            const auto lineTime = std::chrono::microseconds(
                std::max<int64_t>(100, int64_t{count - queued} * 10'000'000 / baud));
            std::this_thread::sleep_until(std::min(sliceEnd, now + lineTime));
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(sliceEnd - now);
        timespec ts{static_cast<time_t>(left.count() / 1'000'000'000),
                    static_cast<long>(left.count() % 1'000'000'000)};
        pollfd pfd{m_hPort, POLLIN, 0};
        const int r = ::ppoll(&pfd, 1, &ts, nullptr);
        // A hung-up line reports itself at once; wait out the slice rather than spin.
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pfd.revents & POLLIN))
            std::this_thread::sleep_until(sliceEnd);
    }
}

}  // namespace rs232
