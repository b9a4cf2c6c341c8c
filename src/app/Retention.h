// Removal of our own dated files once they are older than a number of days: the daily logs
// LOG<port>_YYYYMMDD.LOG and the upload backups BAK<port>_YYYYMMDDhhmmss_<name>. Only regular
// files named exactly so, for this port, are touched; their age is the date in the name.
#pragma once

#include <string>

#include "platform/Clock.h"

namespace rs232 {

enum class EDatedFile { Log, Backup };

// True when name is one of ours of that kind for the port, dated more than keepDays days
// before today.
bool IsExpired(const std::string& name, EDatedFile kind, int port, int keepDays,
               const CLocalTime& today);

// Removes the expired files from dir; returns how many went. A file that cannot be removed
// stays, silently, until the next check.
int RemoveExpired(const std::string& dir, EDatedFile kind, int port, int keepDays,
                  const CLocalTime& today);

}  // namespace rs232
