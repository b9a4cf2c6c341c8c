#include <gtest/gtest.h>

#include <string>

#include "link/Block.h"
#include "link/Crc32.h"

namespace rs232 {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

class BlockTest : public ::testing::Test {
protected:
    void SetUp() override { crc.BuildTable(); }
    CCrc32 crc;
};

TEST_F(BlockTest, CrcMatchesTheStandardCheckValueAndTable) {
    EXPECT_EQ(crc.Calculate("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc.Calculate("", 0), 0u);
    // Table entries of the usual right-shifting 0xEDB88320 table.
    EXPECT_EQ(crc.Calculate("\x00", 1), 0xD202EF8Du);
    EXPECT_EQ(CCrc32::Reflect(0x1, 8), 0x80u);
    EXPECT_EQ(CCrc32::Reflect(0x80000000u, 32), 0x1u);
    EXPECT_EQ(CCrc32::Reflect(0xFFu, 0), 0u);
    EXPECT_EQ(CCrc32::Reflect(0xF0F1u, 4), 0x8u);  // only the low bits count
}

TEST_F(BlockTest, FramesTheKnownBlocksByteForByte) {
    const Bytes dr = BuildBlock(crc, "DR", 0, nullptr, 0);
    const std::string expectDr = std::string("\x02") + "DR     0   01eaab4dc\x03";
    EXPECT_EQ(dr, ToBytes(expectDr));

    const Bytes end = BuildBlock(crc, "SF", -1, nullptr, 0);
    EXPECT_EQ(end, ToBytes(std::string("\x02") + "SF    -1   0f9fb3d88\x03"));

    const std::string time = "1000000000";
    const Bytes dt = BuildBlock(crc, "DT", 0, time.data(), 10);
    EXPECT_EQ(dt, ToBytes(std::string("\x02") + "DT     0  101000000000d2e9551c\x03"));

    Bytes big(500, 'x');
    const Bytes b500 = BuildBlock(crc, "SF", 1, big.data(), 500);
    EXPECT_EQ(b500.size(), 522u);
    EXPECT_EQ(std::string(b500.end() - 9, b500.end() - 1),
              [&] { char t[9]; snprintf(t, 9, "%8.8x", crc.Calculate(b500.data() + 1, 512)); return std::string(t); }());
}

TEST_F(BlockTest, CutsCntAndLenToTheirFieldWidths) {
    const Bytes a = BuildBlock(crc, "SF", 1234567, nullptr, 0);
    EXPECT_EQ(std::string(a.begin() + 3, a.begin() + 9), "123456");
    const Bytes b = BuildBlock(crc, "SF", -100000, nullptr, 0);
    EXPECT_EQ(std::string(b.begin() + 3, b.begin() + 9), "-10000");
    Bytes data(10000, 'a');
    const Bytes c = BuildBlock(crc, "SF", 0, data.data(), 10000);
    EXPECT_EQ(std::string(c.begin() + 9, c.begin() + 13), "1000");
    EXPECT_EQ(c.size(), 10022u);
}

TEST_F(BlockTest, ControlBytesInsideDataSurviveAndTheReaderChecksEverything) {
    const Bytes data = {STX, ETX, 0x00, ACK, NAK, 'z'};
    Bytes block = BuildBlock(crc, "FT", 7, data.data(), static_cast<int>(data.size()));
    const SBlockHeader h = ParseBlockHeader(block.data() + 1);
    EXPECT_STREQ(h.type, "FT");
    EXPECT_EQ(h.cnt, 7);
    EXPECT_EQ(h.len, 6);
    EXPECT_TRUE(h.lenAcceptable);
    const uint8_t* body = block.data() + 13;
    EXPECT_EQ(CheckBlock(crc, block.data() + 1, body, h.len, body + h.len), BlockCheck::Ok);

    Bytes noEtx = block;
    noEtx.back() = 'X';
    EXPECT_EQ(CheckBlock(crc, noEtx.data() + 1, noEtx.data() + 13, 6, noEtx.data() + 19),
              BlockCheck::NoEtx);

    // A peer writing the hexadecimal digits in upper case is rejected.
    Bytes upper = block;
    for (int i = 19; i < 27; ++i) upper[i] = static_cast<uint8_t>(toupper(upper[i]));
    ASSERT_NE(upper, block) << "CRC text without letters; pick other data";
    EXPECT_EQ(CheckBlock(crc, upper.data() + 1, upper.data() + 13, 6, upper.data() + 19),
              BlockCheck::BadCrc);
}

TEST_F(BlockTest, HeaderFieldsReadLikeAtolAndOddLengthsAreRefused) {
    auto header = [](const std::string& cnt, const std::string& len) {
        std::string h = "XY" + cnt + len;
        return ParseBlockHeader(reinterpret_cast<const uint8_t*>(h.data()));
    };
    EXPECT_EQ(header("    -1", "  14").cnt, -1);
    EXPECT_EQ(header("  12ab", "  14").cnt, 12);
    EXPECT_EQ(header("abcdef", "  14").cnt, 0);
    EXPECT_EQ(header("    +5", " 520").len, 520);
    EXPECT_TRUE(header("     0", " 520").lenAcceptable);
    EXPECT_TRUE(header("     0", "   0").lenAcceptable);
    EXPECT_FALSE(header("     0", " 521").lenAcceptable);
    EXPECT_FALSE(header("     0", "  -5").lenAcceptable);
    EXPECT_FALSE(header("     0", "    ").lenAcceptable);
    EXPECT_FALSE(header("     0", "abcd").lenAcceptable);
}

}  // namespace
}  // namespace rs232
