#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "link/SerialPort.h"
#include "support/Pty.h"

namespace rs232 {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using Clock = CSerialPort::Clock;

// Exclusive opens, the line settings on the device, and a wait for bytes that trickle in.
TEST(SerialPort, OpensSettingsAndBytes) {
    test::CPty pty;
    CSerialPort port, other;
    port.SetDeviceMap({{4, pty.SlavePath()}});
    other.SetDeviceMap({{4, pty.SlavePath()}});
    EXPECT_EQ(port.DeviceName(1), "/dev/ttyS0");
    const int holder = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port.Open(4), kPortOpenFailed) << "a device another opener holds";
    ::close(holder);
    port.SetParams(115200, 'N', 9, 1, 0, 0);
    EXPECT_EQ(port.Open(4), kPortSettingsRefused);
    EXPECT_TRUE(port.IsOpen()) << "the port stays open after refused settings";
    port.Close();
    port.SetParams(115200, 'N', 8, 1, 0, 0);  // what the server runs with
    ASSERT_EQ(port.Open(4), kPortOk);
    EXPECT_EQ(other.Open(4), kPortOpenFailed) << "exclusive while this port holds it";
    termios tio{};
    ASSERT_EQ(tcgetattr(port.GetFd(), &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_FALSE((tio.c_cflag & (PARENB | CSTOPB | CRTSCTS)) || (tio.c_iflag & (IXON | IXOFF)));

    // Bytes trickling in from another thread: the wait returns with all of them, reads never wait.
    std::thread peer([&] {
        for (int i = 0; i < 4; ++i, std::this_thread::sleep_for(15ms)) pty.Send(Bytes(3, 'a'));
    });
    EXPECT_EQ(port.WaitForInQueue(12, Clock::now() + 30s), 12);
    peer.join();
    uint8_t buf[16];
    EXPECT_EQ(port.Read(buf, sizeof buf), 12);
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);
}

}  // namespace
}  // namespace rs232
