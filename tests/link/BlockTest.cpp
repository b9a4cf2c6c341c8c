#include <gtest/gtest.h>

#include <string>

#include "link/Block.h"

namespace rs232 {
namespace {

using Bytes = std::vector<uint8_t>;

// Known frames byte for byte, control bytes carried as data, and how the header fields read.
TEST(Block, FramesAndHeaders) {
    CCrc32 crc;
    crc.BuildTable();
    EXPECT_EQ(crc.Calculate("123456789", 9), 0xCBF43926u);
    auto block = [&](const char* type, long cnt, const std::string& data) {
        const Bytes b = BuildBlock(crc, type, cnt, data.data(), static_cast<int>(data.size()));
        return std::string(b.begin(), b.end());
    };
    EXPECT_EQ(block("DR", 0, ""), "\x02" "DR     0   01eaab4dc\x03");
    EXPECT_EQ(block("SF", -1, ""), "\x02" "SF    -1   0f9fb3d88\x03");
    EXPECT_EQ(block("DT", 0, "1000000000"), "\x02" "DT     0  101000000000d2e9551c\x03");
    // CNT and LEN that do not fit their fields are cut to their first characters.
    EXPECT_EQ(block("SF", 1234567, "").substr(3, 6), "123456");
    EXPECT_EQ(block("SF", -100000, "").substr(3, 6), "-10000");
    EXPECT_EQ(block("SF", 0, std::string(10000, 'a')).substr(9, 4), "1000");
    const std::string data = {STX, ETX, 0x00, ACK, NAK, 'z'}, b = block("FT", 7, data);
    const auto* raw = reinterpret_cast<const uint8_t*>(b.data());
    EXPECT_EQ(b.substr(13, 6), data);
    EXPECT_EQ(CheckBlock(crc, raw + 1, raw + 13, 6, raw + 19), BlockCheck::Ok);
    // The fields read like atol; only LEN 0..520 lets the rest of a block be read.
    const struct { const char* header; long cnt; int len; bool ok; } cases[] = {
        {"XY    -1  14", -1, 14, true}, {"XY  12ab  14", 12, 14, true},
        {"XYabcdef 520", 0, 520, true}, {"XY    +5   0", 5, 0, true},
        {"XY     0 521", 0, 521, false}, {"XY     0  -5", 0, -5, false},
        {"XY     0    ", 0, 0, false},  {"XY     0abcd", 0, 0, false},
    };
    for (const auto& c : cases) {
        const SBlockHeader p = ParseBlockHeader(reinterpret_cast<const uint8_t*>(c.header));
        EXPECT_EQ(std::tuple(p.cnt, p.len, p.lenAcceptable), std::tuple(c.cnt, c.len, c.ok)) << c.header;
    }
}

}  // namespace
}  // namespace rs232
