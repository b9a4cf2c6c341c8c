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
using test::CPty;

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { port.SetDeviceMap({{4, pty.SlavePath()}}); }
    CPty pty;
    CSerialPort port;
};

TEST_F(SerialPortTest, OpenAndCloseFollowThePortStates) {
    EXPECT_EQ(port.DeviceName(1), "/dev/ttyS0");
    EXPECT_EQ(port.DeviceName(16), "/dev/ttyS15");
    EXPECT_EQ(port.DeviceName(4), pty.SlavePath());

    EXPECT_EQ(port.Open(0), kPortOutOfRange);
    EXPECT_EQ(port.Open(17), kPortOutOfRange);
    EXPECT_EQ(port.GetPortNumber(), -1);

    ASSERT_EQ(port.Open(4), kPortOk);
    EXPECT_EQ(port.GetPortNumber(), 4);
    const int fd = port.GetFd();
    EXPECT_EQ(port.Open(4), kPortAlreadyOpen);
    EXPECT_EQ(port.GetFd(), fd) << "a second open must leave the open port alone";

    EXPECT_EQ(port.Close(), kPortOk);
    EXPECT_EQ(port.Close(), kPortNotOpen);
    EXPECT_EQ(port.GetPortNumber(), 4) << "the last port number survives Close";

    uint8_t b = 0;
    EXPECT_EQ(port.Read(&b, 1), kPortNotOpen);
    EXPECT_EQ(port.Write(&b, 1), kPortNotOpen);
    EXPECT_EQ(port.WriteByte('x'), kPortNotOpen);
    EXPECT_EQ(port.GetInQueue(), kPortNotOpen);
    EXPECT_EQ(port.PurgeInput(), kPortNotOpen);
    EXPECT_EQ(port.WaitForInQueue(1, CSerialPort::Clock::now() + 10s), kPortNotOpen);
}

TEST_F(SerialPortTest, ADeviceInUseOrMissingFailsToOpen) {
    const int holder = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(port.Open(4), kPortOpenFailed);
    ::close(holder);
    EXPECT_EQ(port.Open(4), kPortOk);

    CSerialPort other;
    other.SetDeviceMap({{4, pty.SlavePath()}});
    EXPECT_EQ(other.Open(4), kPortOpenFailed) << "exclusive while this port holds it";
    other.SetDeviceMap({{4, "/dev/does-not-exist-rs232"}});
    EXPECT_EQ(other.Open(4), kPortOpenFailed);
}

TEST_F(SerialPortTest, LineSettingsReachTheDevice) {
    // Pseudo-terminals keep neither parity nor data bits other than 8, so only the rate and
    // flow control are visible here.
    port.SetParams(57600, 'e', 8, 2, 0, 1);
    ASSERT_EQ(port.Open(4), kPortOk);
    termios tio{};
    ASSERT_EQ(tcgetattr(port.GetFd(), &tio), 0);
    EXPECT_TRUE(tio.c_iflag & IXON);
    EXPECT_TRUE(tio.c_iflag & IXOFF);
    EXPECT_TRUE(tio.c_cflag & CLOCAL);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B57600));
    port.Close();

    // The settings the server runs with: 8N1, no flow control.
    for (char parity : {'N', 'n', 'x'}) {
        port.SetParams(115200, parity, 8, 1, 0, 0);
        ASSERT_EQ(port.Open(4), kPortOk);
        ASSERT_EQ(tcgetattr(port.GetFd(), &tio), 0);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_FALSE(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS));
        EXPECT_FALSE(tio.c_iflag & (IXON | IXOFF));
        port.Close();
    }

    port.SetParams(115200, 'N', 9, 1, 0, 0);
    EXPECT_EQ(port.Open(4), kPortSettingsRefused);
    EXPECT_TRUE(port.IsOpen()) << "the port stays open after refused settings";
    EXPECT_EQ(port.Open(4), kPortAlreadyOpen);
    port.Close();
    port.SetParams(0, 'N', 8, 1, 0, 0);
    EXPECT_EQ(port.Open(4), kPortSettingsRefused);
}

TEST_F(SerialPortTest, BytesFlowBothWaysAndReadsNeverWait) {
    port.SetParams(115200, 'N', 8, 1, 0, 0);
    ASSERT_EQ(port.Open(4), kPortOk);
    uint8_t buf[16];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);
    EXPECT_EQ(port.GetInQueue(), 0);

    pty.Send(std::string("hello"));
    EXPECT_EQ(port.WaitForInQueue(5, CSerialPort::Clock::now() + 10s), 5);
    EXPECT_EQ(port.Read(buf, 2), 2);
    EXPECT_EQ(port.GetInQueue(), 3);
    EXPECT_EQ(port.PurgeInput(), kPortOk);
    EXPECT_EQ(port.GetInQueue(), 0);

    const std::string text = "\x02ok\x03";
    EXPECT_EQ(port.Write(text.data(), 4), 4);
    EXPECT_EQ(port.WriteByte(0x1FF), 1);
    EXPECT_EQ(pty.Read(5), (Bytes{0x02, 'o', 'k', 0x03, 0xFF}));
}

TEST_F(SerialPortTest, WaitingEndsWhenTheBytesArriveOrTheDeadlinePasses) {
    port.SetParams(115200, 'N', 8, 1, 0, 0);
    ASSERT_EQ(port.Open(4), kPortOk);
    EXPECT_EQ(port.WaitForInQueue(1, CSerialPort::Clock::now() + 60ms), 0);

    // Bytes trickle in from another thread; the wait returns with all of them.
    std::thread peer([&] {
        for (int i = 0; i < 4; ++i) {
            pty.Send(Bytes(3, 'a'));
            std::this_thread::sleep_for(15ms);
        }
    });
    EXPECT_EQ(port.WaitForInQueue(12, CSerialPort::Clock::now() + 30s), 12);
    peer.join();
}

}  // namespace
}  // namespace rs232
