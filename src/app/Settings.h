// The settings file "<executable>.ini" as the server takes it: [COMPORT] BAUDRATE (default
// 57600; written when the file is missing) and BLOCKPAUSE, [PORTS] COMn=<device>, [ACCESS] ROOT
// and READONLY, [LOG] KEEPDAYS and AUDIT, [BACKUP] KEEPDAYS, [DRIVES] <letter>=<dir> and
// DEFAULT, [PATHS] IGNORECASE, [STATUS] DIR, [TLS] CA, CERT and KEY. From the environment:
// RS232_DEFAULT_ROOT is the access root when ROOT is not given, RS232_STATUS_DIR the state
// directory when DIR is not.
//
// Errors: nothing throws. ReadSettingsFile says what it came to in SSettingsRead: a file that
// cannot be read, or a root that names no directory, stops a start (error) and keeps the settings
// in force when read again (a warning); a value that cannot be taken keeps the one in force and
// adds a warning.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "server/Rs232Server.h"

namespace rs232 {

// The settings read again on SIGHUP.
struct SOptionalSettings {
    SAccessLimits access;  // root in its canonical form
    SPathRules paths;
    std::chrono::milliseconds blockPause = wire::kBlockPause;
    int keepLogDays = 0;     // 0: logs are kept for ever
    int keepBackupDays = 0;  // 0: backups are kept for ever
    bool audit = false;      // an audit record of every request
    STlsFiles tls;           // of +tls:// lines, read at each connection
};

struct SSettings {
    static constexpr int32_t kDefaultBaudRate = 57600;
    int32_t baudRate = kDefaultBaudRate;
    std::map<int, std::string> devices;  // [PORTS]
    std::string statusDir;               // of the state file; empty: none
    SOptionalSettings optional;
};

struct SSettingsRead {
    enum class EFile { Read, Missing, Unreadable };
    EFile file = EFile::Read;
    std::string error;                  // why the settings stop a start; empty when they do not
    std::vector<std::string> warnings;  // event lines of warning level
};

// The one reader, at start and on SIGHUP: reads the file at path over `settings`, the ones in
// force. atStart: everything is read, a missing file gives the defaults (and the default root's
// check); otherwise only the optional settings are, and a missing file is one that cannot be read.
SSettingsRead ReadSettingsFile(const std::string& path, bool atStart, SSettings& settings);

// Writes BAUDRATE into [COMPORT], keeping the file's other content. A file that cannot be
// written is tried again at the next start: nothing to report.
void WriteBaudRate(const std::string& path, int32_t baudRate);

// The event lines that show the optional settings that are set, in a fixed order; auditFile:
// where audit records go today.
std::vector<std::string> DescribeSettings(const SOptionalSettings& settings,
                                          const std::string& auditFile);

}  // namespace rs232
