// Rates outside the standard B* table go through termios2/BOTHER, whose kernel header cannot
// share a translation unit with <termios.h>.
#pragma once

namespace rs232 {

// True when the driver took the rate.
bool SetCustomSpeed(int fd, int baudRate);

}  // namespace rs232
