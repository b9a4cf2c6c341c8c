#include <gtest/gtest.h>

#include <string>

#include "link/Block.h"

namespace rs232 {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Block, CrcAndTheKnownBlocksByteForByte) {
    CCrc32 crc;
    crc.BuildTable();
    EXPECT_EQ(crc.Calculate("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc.Calculate("", 0), 0u);
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
    const std::string big = block("SF", 0, std::string(10000, 'a'));
    EXPECT_EQ(big.substr(9, 4), "1000");
    EXPECT_EQ(big.size(), 10022u);
}

TEST(Block, ControlBytesInDataAndTheReadersChecks) {
    CCrc32 crc;
    crc.BuildTable();
    const Bytes data = {STX, ETX, 0x00, ACK, NAK, 'z'};
    const Bytes block = BuildBlock(crc, "FT", 7, data.data(), 6);
    const SBlockHeader h = ParseBlockHeader(block.data() + 1);
    EXPECT_STREQ(h.type, "FT");
    EXPECT_EQ(h.cnt, 7);
    EXPECT_EQ(h.len, 6);
    EXPECT_EQ(Bytes(block.begin() + 13, block.begin() + 19), data);
    auto check = [&](const Bytes& b) {
        return CheckBlock(crc, b.data() + 1, b.data() + 13, 6, b.data() + 19);
    };
    EXPECT_EQ(check(block), BlockCheck::Ok);
    Bytes changed = block;
    changed.back() = 'X';
    EXPECT_EQ(check(changed), BlockCheck::NoEtx);
    // A peer writing the hexadecimal digits in upper case is rejected.
    changed = block;
    for (int i = 19; i < 27; ++i) changed[i] = static_cast<uint8_t>(toupper(changed[i]));
    ASSERT_NE(changed, block) << "CRC text without letters; pick other data";
    EXPECT_EQ(check(changed), BlockCheck::BadCrc);

    // The fields read like atol; only LEN 0..520 lets the rest of a block be read.
    const struct { const char* header; long cnt; int len; bool ok; } cases[] = {
        {"XY    -1  14", -1, 14, true}, {"XY  12ab  14", 12, 14, true},
        {"XYabcdef 520", 0, 520, true}, {"XY    +5   0", 5, 0, true},
        {"XY     0 521", 0, 521, false}, {"XY     0  -5", 0, -5, false},
        {"XY     0    ", 0, 0, false},  {"XY     0abcd", 0, 0, false},
    };
    for (const auto& c : cases) {
        const SBlockHeader p = ParseBlockHeader(reinterpret_cast<const uint8_t*>(c.header));
        EXPECT_EQ(p.cnt, c.cnt) << c.header;
        EXPECT_EQ(p.len, c.len) << c.header;
        EXPECT_EQ(p.lenAcceptable, c.ok) << c.header;
    }
}

}  // namespace
}  // namespace rs232
