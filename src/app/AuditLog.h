// The audit record: with [LOG] AUDIT=1 every finished request adds one JSON object on one line
// to <log dir>AUDIT<port>_YYYYMMDD.jsonl, made from its outcome, written whole or not at all and
// always on a line of its own. A file or backup name that is not valid UTF-8 also has its exact
// bytes in hex (file_bytes, backup_bytes).
#pragma once

#include <string>

#include "platform/Clock.h"
#include "server/Outcome.h"

namespace rs232 {

// The record's line of a known request type, its final line feed included; `when` is the time
// the request ended.
std::string AuditRecord(const SRequestOutcome& outcome, int port, int64_t when);

// The day's file of the port in logDir.
std::string AuditFilePath(const std::string& logDir, int port, const CLocalTime& day);

// Appends the request's record to the day's file; false (errno) when it was not written.
bool WriteAuditRecord(const std::string& logDir, int port, const SRequestOutcome& outcome);

}  // namespace rs232
