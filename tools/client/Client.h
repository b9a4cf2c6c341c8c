// The client's requests, one exchange each (ENQ/SYN first), with the checks that tell the
// user what the server actually did. FT, DF, CF and DL carry no answer beyond the ACK, so every
// such request is confirmed with IR afterwards.
//
// Errors: CClientError (ClientLink.h) with kind Failure when the server refused, showed a
// failure or did not do what was asked; NoAnswer when the line failed. std::invalid_argument
// when an argument cannot be expressed as a request (too long, forbidden characters) before
// anything is sent.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "ClientLink.h"
#include "wire/Wire.h"

namespace rs232::client {

constexpr size_t kMaxShortPath = wire::kMaxRequestPath;
constexpr size_t kMaxLongPath = wire::kMaxPathPart;
// Upload data blocks: the most a receiver accepts; the server stores each block's data as it is.
constexpr int kUploadChunk = wire::kMaxBlockData;

struct SRemoteInfo {
    bool found = false;
    long size = 0;
    long mtime = 0;  // seconds since 1970 UTC
    uint8_t attributes = 0;
};

// done and total bytes; called after each block.
using ProgressFn = std::function<void(long done, long total)>;

class CClient {
public:
    explicit CClient(CClientLink& link) : m_link(link) {}
    virtual ~CClient() = default;

    // DR: the server's clock, seconds since 1970 UTC.
    long ServerTime();
    // IR: not found is a result here, not an error.
    SRemoteInfo Info(const std::string& remote);
    // RF into local, written only after the end block as a temporary file renamed over local.
    // Returns the byte count. A length that differs from the header is a failure. Without
    // replace an existing local file is a failure, before anything is sent and at the rename.
    long Get(const std::string& remote, const std::string& local, const ProgressFn& progress = {},
             bool replace = true);
    // FT, confirmed with IR (size and a modification time not older than the upload).
    // Returns the byte count. An empty file goes up as one data block without data: the server
    // stores only an upload that had a data block.
    long Put(const std::string& local, const std::string& remote, const ProgressFn& progress = {});
    // DF, confirmed with IR. A missing file is a failure.
    void Remove(const std::string& remote);
    // CF, confirmed with IR of the destination (size and time equal to the source's).
    void Copy(const std::string& source, const std::string& destination);
    // DL into listFile on the server, RF of it, DF of it; returns the list as the server wrote it.
    std::string List(const std::string& directory, const std::string& listFile);

private:
    CClientLink& m_link;
};

// Runs request, and again from the beginning after a failure on the line (kind NoAnswer) at
// most retries times more, once the line has settled; refusals and interruptions end it at once.
// onRetry hears of each failure before the next try (numbered from 1). Returns the number of
// tries; a failure after several tries is thrown with their number in its text.
int WithRetries(CClientLink& link, int retries, const std::function<void()>& request,
                const std::function<void(const CClientError&, int nextTry)>& onRetry = {});

// One parsed line of a listing ("name;size;time;XX" CR LF). Names may hold ';': the fields
// are taken from the right.
struct SListEntry {
    std::string name;
    long size = 0;
    long mtime = 0;
    unsigned attributes = 0;
};
bool ParseListLine(const std::string& line, SListEntry& entry);

// "directory, read-only" and the like; "none" for no bits.
std::string AttributeWords(unsigned attributes);
// Fixed-width letters d r h s a, '-' for an unset bit.
std::string AttributeLetters(unsigned attributes);
// "2024-05-01 12:00:00" in local time or UTC.
std::string FormatTime(long seconds, bool utc = false);

}  // namespace rs232::client
