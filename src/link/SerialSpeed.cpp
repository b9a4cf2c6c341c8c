#include "link/SerialSpeed.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace rs232 {

bool SetCustomSpeed(int fd, int baudRate) {
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~CBAUD;
    tio.c_cflag |= BOTHER;
    tio.c_ispeed = static_cast<speed_t>(baudRate);
    tio.c_ospeed = static_cast<speed_t>(baudRate);
    if (::ioctl(fd, TCSETS2, &tio) != 0) return false;
    termios2 check{};
    return ::ioctl(fd, TCGETS2, &check) == 0 && check.c_ospeed == static_cast<speed_t>(baudRate);
}

}  // namespace rs232
