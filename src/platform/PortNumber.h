// The port numbers a server may serve: its command line, [PORTS] COMn, the client's --port and
// the service's instance all take these.
#pragma once

namespace rs232 {

constexpr int kFirstPort = 1;
constexpr int kLastPort = 99;

constexpr bool IsPortNumber(long port) { return port >= kFirstPort && port <= kLastPort; }

}  // namespace rs232
