// The block on the line, written and read in one place for the server and the client:
//
//   STX | type(2) | CNT "%6ld"(6) | LEN "%4d"(4) | data(LEN) | CRC "%8.8x"(8) | ETX
//
// The CRC covers type, CNT, LEN and data. Data is not escaped; the end is found by LEN.
// Errors: framing cannot fail; a block read is judged by BlockCheck and SBlockHeader. The port
// reports through the result codes of SerialPort.h, the convention of this layer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/Crc32.h"
#include "wire/Wire.h"

namespace rs232 {

enum : uint8_t {
    STX = 0x02,
    ETX = 0x03,
    EOT = 0x04,
    ENQ = 0x05,
    ACK = 0x06,
    NAK = 0x15,
    SYN = 0x16,
};

constexpr int kBlockHeaderSize = 12;  // type, CNT and LEN, after the STX
constexpr int kBlockTailSize = 9;     // CRC text and ETX
constexpr int kBlockOverhead = 22;    // a block is LEN + 22 bytes
using wire::kMaxBlockData;
using wire::kMaxReplyData;

// Frames one block into out (at least len + 22 bytes); outLength receives len + 22.
// CNT and LEN that need more than 6 and 4 characters are cut to their first characters.
void BuildBlock(const CCrc32& crc, const char* type, long cnt, int len, const void* data,
                uint8_t* out, int& outLength);
std::vector<uint8_t> BuildBlock(const CCrc32& crc, const char* type, long cnt,
                                const void* data, int len);

struct SBlockHeader {
    char type[3] = {0, 0, 0};
    long cnt = 0;
    int len = 0;
    // LEN is a number from 0 to kMaxBlockData: the rest of the block can be read safely.
    bool lenAcceptable = false;
};

// Reads the 12 header bytes that follow the STX. CNT and LEN are read like atol: leading white
// space, an optional sign, digits up to the first other character, 0 without digits.
SBlockHeader ParseBlockHeader(const uint8_t* header);

enum class BlockCheck { Ok, NoEtx, BadCrc };

// Checks the 9 tail bytes (CRC text, ETX) against header and data, exactly and case-sensitively.
BlockCheck CheckBlock(const CCrc32& crc, const uint8_t* header, const uint8_t* data, int len,
                      const uint8_t* tail);

// "%8.8x" of the CRC over header followed by data.
std::string CrcText(const CCrc32& crc, const uint8_t* header, const uint8_t* data, int len);

}  // namespace rs232
