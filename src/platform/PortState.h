// A running server's state as a file the site's monitoring reads: <dir>/port<N>.prom in the
// Prometheus text exposition format, written by the server and read back by rs232-status. The
// series' names and labels are fixed so that dashboards and alert rules work at every site;
// this is their one home.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/Wire.h"

namespace rs232 {

// The directory of the state files when the settings name none ([STATUS] DIR), and the one
// rs232-status reads before its default (DefaultStatusDir; the unit sets the variable to it).
inline constexpr const char* kStatusDirVariable = "RS232_STATUS_DIR";

// The file is written on a change at most every kStateMinInterval, at least every
// kStateRefresh while the server runs; one not updated for kStateStaleAfter belongs to a server
// that was killed or hangs.
inline constexpr std::chrono::seconds kStateMinInterval{1};
inline constexpr std::chrono::seconds kStateRefresh{15};
inline constexpr std::chrono::seconds kStateStaleAfter{60};

// The request label values are the request kinds' block types; then the results.
inline constexpr int kRequestKinds = wire::kRequestKinds;
inline constexpr const auto& kRequestLabels = wire::kRequestTypes;
inline constexpr int kResultKinds = 3;
inline constexpr const char* kResultLabels[kResultKinds] = {"served", "refused", "failed"};

struct SPortState {
    int port = 0;
    std::string device;
    bool up = false;  // the port is open
    int64_t requests[kRequestKinds][kResultKinds] = {};
    int64_t uploaded = 0, downloaded = 0;  // file content bytes
    int64_t retries = 0;                   // blocks sent again and NAKs given
    // Unix times; 0 for none. stopped: when the server stopped normally (it runs while 0).
    int64_t lastContact = 0, started = 0, updated = 0, stopped = 0;
    int64_t transferDone = 0, transferSize = 0;  // the transfer in progress, 0 when none

    int64_t Count(int result) const;  // over all request kinds
    bool operator==(const SPortState&) const = default;
};

// "port<N>.prom"; FileNamePort gives N back for exactly such a name with N a port number (no
// leading zero), 0 for any other name.
std::string PortStateFileName(int port);
int FileNamePort(std::string_view name);

// The exposition text: HELP and TYPE lines, then every series of the port. Label values are
// valid UTF-8 whatever the device path holds: a byte that is not part of valid UTF-8 is
// spelled \xNN (two lower-case hex digits).
std::string FormatPortState(const SPortState& state);
// Reads the state of `port` as FormatPortState wrote it (unknown series are skipped). False,
// with the reason in `why`, for a line that is no sample, a series of another port, a value
// that is not a finite non-negative number, an rs232_up other than 0 or 1, or no rs232_up.
bool ParsePortState(std::string_view text, int port, SPortState& state, std::string& why);

}  // namespace rs232
