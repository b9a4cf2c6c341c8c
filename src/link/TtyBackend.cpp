// A local serial device on POSIX termios.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "link/PortBackend.h"
#include "link/SerialPort.h"
#include "link/SerialSpeed.h"
#include "platform/DeviceHolder.h"

namespace rs232 {

namespace {

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

class CTtyBackend : public IPortBackend {
public:
    explicit CTtyBackend(std::string device) : m_device(std::move(device)) {}
    ~CTtyBackend() override {
        if (m_fd >= 0) Close();
    }

    int Open(const SLineSettings& line) override {
        int fd = ::open(m_device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return Fail(kPortOpenFailed, errno == EBUSY ? BusyText() : std::strerror(errno));
        // Exclusive like an unshared open: a device in use fails like a failed open.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            return Fail(kPortOpenFailed, BusyText());
        }
        ::ioctl(fd, TIOCEXCL);
        m_fd = fd;
        ::tcflush(fd, TCIOFLUSH);
        const int settings = ApplyLineSettings(line);
        if (settings != kPortOk) return Fail(settings, "line settings refused by the device");

        // Modem lines and the low-latency request: pseudo-terminals and some adapters refuse
        // them, and the line works without them, so their results are ignored.
        int lines = TIOCM_DTR | TIOCM_RTS;
        ::ioctl(fd, TIOCMBIS, &lines);
        serial_struct serial{};
        if (::ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags |= ASYNC_LOW_LATENCY;
            ::ioctl(fd, TIOCSSERIAL, &serial);
        }
        return kPortOk;
    }

    int Close() override {
        const int fd = m_fd;
        m_fd = -1;
        ::ioctl(fd, TIOCNXCL);
        // Linux releases the descriptor whatever close() reports: never close that number again.
        if (::close(fd) != 0 && errno != EINTR) return kPortCloseFailed;
        return kPortOk;
    }

    int Write(const uint8_t* p, int length, Clock::time_point deadline) override {
        int written = 0;
        while (written < length) {
            ssize_t n = ::write(m_fd, p + written, static_cast<size_t>(length - written));
            if (n > 0) {
                written += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) return -errno;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) break;
            pollfd pfd{m_fd, POLLOUT, 0};
            if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
                return -errno;
        }
        return written;
    }

    int Read(void* buffer, int maxCount) override {
        ssize_t n;
        do {
            n = ::read(m_fd, buffer, static_cast<size_t>(maxCount));
        } while (n < 0 && errno == EINTR);
        return n > 0 ? static_cast<int>(n) : 0;
    }

    int InQueue() override {
        int count = 0;
        if (::ioctl(m_fd, FIONREAD, &count) != 0) return 0;
        return count;
    }

    bool PurgeInput() override { return ::tcflush(m_fd, TCIFLUSH) == 0; }

    bool HungUp() override {
        pollfd pfd{m_fd, POLLIN, 0};
        if (::poll(&pfd, 1, 0) <= 0) return false;
        return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

    // One poll() instead of FIONREAD and HungUp: neither input nor a hang-up is reported.
    bool Quiet() override {
        pollfd pfd{m_fd, POLLIN, 0};
        return ::poll(&pfd, 1, 0) == 0;
    }

    int Fd() const override { return m_fd; }

private:
    // A device in use: the system's text, and who holds it when that can be found.
    std::string BusyText() const {
        const int holder = FindDeviceHolder(m_device);
        return std::string(std::strerror(EBUSY)) + ", in use by another program" +
               (holder > 0 ? " (PID " + std::to_string(holder) + ")" : std::string());
    }

    int Fail(int code, const std::string& why) {
        m_error = "Serial port " + m_device + ": " + why;
        return code;
    }

    int ApplyLineSettings(const SLineSettings& line) {
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0) return kPortSettingsRefused;
        cfmakeraw(&tio);
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        switch (line.dataBits & 0xFF) {
            case 5: tio.c_cflag |= CS5; break;
            case 6: tio.c_cflag |= CS6; break;
            case 7: tio.c_cflag |= CS7; break;
            case 8: tio.c_cflag |= CS8; break;
            default: return kPortSettingsRefused;
        }
        if (line.parity == kOddParity) tio.c_cflag |= PARENB | PARODD;
        if (line.parity == kEvenParity) tio.c_cflag |= PARENB;
        if (line.stopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
        if (line.handshake) tio.c_cflag |= CRTSCTS;
        tio.c_cflag |= CLOCAL | CREAD;
        tio.c_iflag |= INPCK;
        tio.c_iflag &= ~(IXON | IXOFF | IXANY);
        if (line.xonXoff) {
            tio.c_iflag |= IXON | IXOFF;
            tio.c_cc[VSTART] = 0x11;
            tio.c_cc[VSTOP] = 0x13;
        }
        // Reads never wait: they return at once with whatever is queued.
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;

        const speed_t speed = StandardSpeed(line.baudRate);
        if (line.baudRate <= 0) return kPortSettingsRefused;
        if (speed != 0 && ::cfsetspeed(&tio, speed) != 0) return kPortSettingsRefused;
        if (::tcsetattr(m_fd, TCSANOW, &tio) != 0) return kPortSettingsRefused;
        if (speed == 0 && !SetCustomSpeed(m_fd, line.baudRate)) return kPortSettingsRefused;

        // tcsetattr succeeds when any one change took; read back what the driver kept.
        termios check{};
        if (::tcgetattr(m_fd, &check) != 0) return kPortTimeoutsRefused;
        if (check.c_cc[VMIN] != 0 || check.c_cc[VTIME] != 0) return kPortTimeoutsRefused;
        if ((check.c_cflag & CSIZE) != (tio.c_cflag & CSIZE)) return kPortSettingsRefused;
        if (speed != 0 && cfgetospeed(&check) != speed) return kPortSettingsRefused;
        return kPortOk;
    }

    std::string m_device;
    int m_fd = -1;
};

}  // namespace

std::unique_ptr<IPortBackend> MakeTtyBackend(const std::string& device) {
    return std::make_unique<CTtyBackend>(device);
}

std::string DefaultDeviceName(int port) { return "/dev/ttyS" + std::to_string(port - 1); }

void WaitForInput(IPortBackend& backend, IPortBackend::Clock::time_point until) {
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
        until - IPortBackend::Clock::now());
    if (left.count() <= 0) return;
    timespec ts{static_cast<time_t>(left.count() / 1'000'000'000),
                static_cast<long>(left.count() % 1'000'000'000)};
    pollfd pfd{backend.Fd(), POLLIN, 0};
    ::ppoll(&pfd, 1, &ts, nullptr);
}

}  // namespace rs232
