// Facts of the line protocol that the server and its clients share. Every number the two ends
// must agree on lives here and nowhere else.
#pragma once

#include <chrono>
#include <cstdint>

namespace rs232::wire {

// Longest request path of RF and IR and longest field of an FT start block, and longest path of
// DF and of each part of CF and DL: the working buffers the clients were built against.
constexpr int kMaxRequestPath = 99;
constexpr int kMaxPathPart = 199;

// Block data: the largest LEN a receiver accepts, and the largest the server sends.
constexpr int kMaxBlockData = 520;
constexpr int kMaxReplyData = 500;

// Default time limits of the link.
constexpr std::chrono::milliseconds kHeaderWait{6000};  // STX to the 12 header bytes
constexpr std::chrono::milliseconds kRestWait{6000};    // header to the last byte of a block
constexpr std::chrono::milliseconds kAnswerWait{3000};  // a block sent to its ACK/NAK/EOT answer
constexpr std::chrono::milliseconds kBlockPause{50};    // before each download content block

// The request kinds, each named by the two-letter type of its request block, in this order
// wherever requests are counted or labelled. Unknown: a block of another type, or a byte that
// starts no block.
enum class ERequest { FT, RF, IR, DF, CF, DR, DL, Unknown };
constexpr int kRequestKinds = 7;
constexpr const char* kRequestTypes[kRequestKinds] = {"FT", "RF", "IR", "DF", "CF", "DR", "DL"};
constexpr const char* RequestType(ERequest request) {
    return request == ERequest::Unknown ? "" : kRequestTypes[static_cast<int>(request)];
}

// File attribute bits as IR and DL report them.
enum : uint8_t {
    kAttrReadOnly = 0x01,
    kAttrHidden = 0x02,
    kAttrSystem = 0x04,
    kAttrVolume = 0x08,
    kAttrDirectory = 0x10,
    kAttrArchive = 0x20,
};

}  // namespace rs232::wire
