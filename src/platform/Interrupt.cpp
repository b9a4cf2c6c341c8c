#include "platform/Interrupt.h"

#include <signal.h>

namespace rs232 {

void CatchInterrupt(void (*handler)(int)) {
    // No SA_RESTART: a read or poll in progress returns with EINTR.
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace rs232
