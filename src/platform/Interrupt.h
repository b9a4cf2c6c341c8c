// Ctrl+C (and SIGTERM where there is one) for a command-line tool: the handler only sets a flag;
// a wait in progress is cut short so that the flag is seen at once.
#pragma once

namespace rs232 {

void CatchInterrupt(void (*handler)(int));

}  // namespace rs232
