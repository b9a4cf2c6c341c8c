// The names of the server's own dated files, built and read here only: the daily logs
// LOG<port>_YYYYMMDD.LOG, the audit records AUDIT<port>_YYYYMMDD.jsonl and the upload backups
// BAK<port>_YYYYMMDDhhmmss_<name>, the date local.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Clock.h"

namespace rs232 {

enum class EDatedFile { Log, Audit, Backup };

// The name of that kind for the port, dated t; name: the uploaded file's (Backup only). Port 0:
// a log written before the port is known, YYYYMMDD.LOG without a prefix.
std::string DatedFileName(EDatedFile kind, int port, const CLocalTime& t,
                          const std::string& name = {});

// The date (year, month, day) of a name of that kind for the port, as DatedFileName makes it;
// nothing for any other name.
std::optional<CLocalTime> DateOfDatedFile(std::string_view name, EDatedFile kind, int port);

}  // namespace rs232
