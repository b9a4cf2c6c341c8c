#include "app/AuditLog.h"

#include <cstdlib>

#include "platform/DatedName.h"
#include "platform/FileOps.h"
#include "platform/PortState.h"
#include "platform/TextFormat.h"

namespace rs232 {

namespace {

// ,"key":"name", and for a name that is not valid UTF-8 (which the JSON string can only
// approximate) its exact bytes in hex as ,"key_bytes":"...".
std::string NameFields(const char* key, const std::string& name) {
    std::string fields = FormatText(",\"%s\":", key) + JsonString(name);
    if (IsUtf8(name)) return fields;
    fields += FormatText(",\"%s_bytes\":\"", key);
    for (const char c : name) fields += FormatText("%02x", static_cast<unsigned char>(c));
    return fields + '"';
}

}  // namespace

std::string AuditRecord(const SRequestOutcome& o, int port, int64_t when) {
    const CLocalTime t = LocalTime(when);
    const long offset = std::labs(t.offset) / 60;
    std::string line = FormatText(
        "{\"time\":\"%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld\",\"port\":%d,\"request\":\"%s\","
        "\"result\":\"%s\"",
        t.year, t.month, t.day, t.hour, t.minute, t.second, t.offset < 0 ? '-' : '+',
        offset / 60, offset % 60, port, kRequestLabels[static_cast<int>(o.request)],
        kResultLabels[static_cast<int>(o.result)]);
    if (o.request != ERequest::DR && !o.file.empty()) line += NameFields("file", o.file);
    line += FormatText(",\"bytes\":%lld", static_cast<long long>(o.bytes));
    if (o.crc32) line += FormatText(",\"crc32\":\"%08x\"", static_cast<unsigned>(*o.crc32));
    if (!o.backup.empty()) line += NameFields("backup", o.backup);
    line += FormatText(",\"ms\":%lld,\"retries\":%ld,\"text\":",
                       static_cast<long long>(o.duration.count()), o.retries);
    return line + JsonString(o.text) + "}\n";
}

std::string AuditFilePath(const std::string& logDir, int port, const CLocalTime& day) {
    return logDir + DatedFileName(EDatedFile::Audit, port, day);
}

bool WriteAuditRecord(const std::string& logDir, int port, const SRequestOutcome& outcome) {
    const int64_t now = CurrentTime();
    return AppendWhole(AuditFilePath(logDir, port, LocalTime(now)),
                       AuditRecord(outcome, port, now));
}

}  // namespace rs232
