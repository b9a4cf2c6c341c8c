// Removal of our own dated files once they are older than a number of days: the daily logs,
// the audit records and the upload backups (DatedName.h). Only regular files named exactly so,
// for this port, are touched; their age is the date in the name.
// Errors: none are reported; a file that cannot be removed stays until the next check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/DatedName.h"

namespace rs232 {

// True when name is one of ours of that kind for the port, dated more than keepDays days
// before today.
bool IsExpired(const std::string& name, EDatedFile kind, int port, int keepDays,
               const CLocalTime& today);

// Removes the expired files from dir; returns how many went. A file that cannot be removed
// stays, silently, until the next check.
int RemoveExpired(const std::string& dir, EDatedFile kind, int port, int keepDays,
                  const CLocalTime& today);

// The retention of one server's files: <base>LOG/ (logs and audit records, kept as long as the
// logs) and <base>BAK/ of its port, checked at start,
// when the settings change and when the local date does.
class CRetention {
public:
    // Days a log or a backup is kept; 0 keeps it for ever.
    void SetKeepDays(int logDays, int backupDays) {
        m_nKeepLogDays = logDays;
        m_nKeepBackupDays = backupDays;
    }
    int KeepLogDays() const { return m_nKeepLogDays; }
    int KeepBackupDays() const { return m_nKeepBackupDays; }

    // The local date has changed since the last Apply (or there was none): two numbers compared.
    bool Due(int64_t now) const { return now < m_day[0] || now >= m_day[1]; }
    // Removes what has expired and notes today's date; one event line per kind of file removed.
    std::vector<std::string> Apply(const std::string& basePath, int port);

private:
    int m_nKeepLogDays = 0;
    int m_nKeepBackupDays = 0;
    int64_t m_day[2] = {0, 0};  // [start, end) of the day of the last check, CurrentTime() seconds
};

}  // namespace rs232
