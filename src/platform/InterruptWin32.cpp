#include "platform/Interrupt.h"

#include <csignal>

namespace rs232 {

// The C runtime turns Ctrl+C and Ctrl+Break of the console into SIGINT and SIGBREAK.
void CatchInterrupt(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGBREAK, handler);
    std::signal(SIGTERM, handler);
}

}  // namespace rs232
