// What the operator is shown about the server, as texts: the window's status bar and progress,
// and the service manager's status line. Read from the engine's state as it is; nothing fails.
#pragma once

#include <cstdint>
#include <string>

namespace rs232 {

class CRs232Server;

struct SOperatorStatus {
    std::string device;   // "/dev/ttyS2 at 57600 Bd"
    std::string link;     // "waiting for a client", "serving a request", "device lost", ...
    std::string contact;  // "last contact 12:34:56" or "no client yet"
    std::string counts;   // "3 served, 1 failed"
    std::string progress;  // "Receiving a.bin: 1200 of 5000 bytes"; empty when idle
    std::string rate;      // "480 B/s" once the transfer has run for a second
    int percent = -1;      // of the transfer in progress; -1 when idle
    std::string Line() const;  // device, link, contact and counts joined by ", "
};

// The server on `port` at `baudRate`. waitingForDevice: the start is waiting for a device that
// is not there yet (or a line held elsewhere).
SOperatorStatus DescribeStatus(const CRs232Server& server, int port, int32_t baudRate,
                               bool waitingForDevice);

}  // namespace rs232
