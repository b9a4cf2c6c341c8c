// What became of one request, made where the request ends. The event line and its level, the
// served/refused/failed counts, the operator status and any record kept of the request are read
// from this value; nothing reads an event text back to learn what happened.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "log/EventLevel.h"
#include "wire/Wire.h"

namespace rs232 {

// The request kinds (Wire.h). Unknown: a block of a type no handler takes (refused), or a byte
// that starts no block (failed).
using wire::ERequest;

// Served: done as asked. Refused: the server declined (not found, outside the access root,
// read-only, an ambiguous name, an unlisted drive, a malformed request). Failed: the line or a
// file operation failed (time-outs, NAK or EOT ends, a reply not written whole, a full disk).
enum class EResult { Served, Refused, Failed };

struct SRequestOutcome {
    ERequest request = ERequest::DR;
    EResult result = EResult::Served;
    EEventLevel level = EEventLevel::Info;
    std::string text;                // the event line, without its clock
    std::string file;                // the resolved path; empty for DR and before a path was read
    int64_t bytes = 0;               // file content moved
    std::optional<uint32_t> crc32;   // of the content as stored (FT) or as sent (RF)
    std::string backup;              // the BAK copy an upload made
    std::chrono::milliseconds duration{0};
    long retries = 0;                // blocks sent again and NAKs given while serving it
};

}  // namespace rs232
