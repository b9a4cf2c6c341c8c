#include "link/Block.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace rs232 {

void BuildBlock(const CCrc32& crc, const char* type, long cnt, int len, const void* data,
                uint8_t* out, int& outLength) {
    char text[32];
    out[0] = STX;
    out[1] = static_cast<uint8_t>(type[0]);
    out[2] = static_cast<uint8_t>(type[1]);
    // Values too wide for their fields are cut to the first characters.
    std::snprintf(text, sizeof text, "%6ld", cnt);
    std::memcpy(out + 3, text, 6);
    std::snprintf(text, sizeof text, "%4d", len);
    std::memcpy(out + 9, text, 4);
    if (len > 0) std::memcpy(out + 13, data, static_cast<size_t>(len));
    const uint32_t value = crc.Calculate(out + 1, static_cast<size_t>(len) + kBlockHeaderSize);
    std::snprintf(text, sizeof text, "%8.8x", value);
    std::memcpy(out + 13 + len, text, 8);
    out[21 + len] = ETX;
    outLength = len + kBlockOverhead;
}

std::vector<uint8_t> BuildBlock(const CCrc32& crc, const char* type, long cnt, const void* data,
                                int len) {
    std::vector<uint8_t> out(static_cast<size_t>(len) + kBlockOverhead);
    int outLength = 0;
    BuildBlock(crc, type, cnt, len, data, out.data(), outLength);
    return out;
}

namespace {

// atol on a fixed-width field; hasDigits tells whether any digit was found.
long ParseNumberField(const uint8_t* field, int width, bool* hasDigits = nullptr) {
    int i = 0;
    while (i < width && std::isspace(field[i])) ++i;
    bool negative = false;
    if (i < width && (field[i] == '+' || field[i] == '-')) negative = field[i++] == '-';
    long value = 0;
    bool digits = false;
    for (; i < width && field[i] >= '0' && field[i] <= '9'; ++i) {
        value = value * 10 + (field[i] - '0');
        digits = true;
    }
    if (hasDigits) *hasDigits = digits;
    return negative ? -value : value;
}

}  // namespace

SBlockHeader ParseBlockHeader(const uint8_t* header) {
    SBlockHeader h;
    h.type[0] = static_cast<char>(header[0]);
    h.type[1] = static_cast<char>(header[1]);
    h.cnt = ParseNumberField(header + 2, 6);
    bool digits = false;
    h.len = static_cast<int>(ParseNumberField(header + 8, 4, &digits));
    h.lenAcceptable = digits && h.len >= 0 && h.len <= kMaxBlockData;
    return h;
}

std::string CrcText(const CCrc32& crc, const uint8_t* header, const uint8_t* data, int len) {
    // The CRC runs over header and data as one sequence of bytes.
    const size_t dataLength = len > 0 ? static_cast<size_t>(len) : 0;
    std::vector<uint8_t> buffer(kBlockHeaderSize + dataLength);
    std::memcpy(buffer.data(), header, kBlockHeaderSize);
    if (dataLength > 0) std::memcpy(buffer.data() + kBlockHeaderSize, data, dataLength);
    char text[16];
    std::snprintf(text, sizeof text, "%8.8x", crc.Calculate(buffer.data(), buffer.size()));
    return text;
}

BlockCheck CheckBlock(const CCrc32& crc, const uint8_t* header, const uint8_t* data, int len,
                      const uint8_t* tail) {
    if (tail[8] != ETX) return BlockCheck::NoEtx;
    const std::string expected = CrcText(crc, header, data, len);
    return std::memcmp(expected.data(), tail, 8) == 0 ? BlockCheck::Ok : BlockCheck::BadCrc;
}

}  // namespace rs232
