#include "link/Crc32.h"

namespace rs232 {

namespace {
constexpr uint32_t kPolynomial = 0x04C11DB7;
}

uint32_t CCrc32::Reflect(uint32_t value, int bits) {
    uint32_t result = 0;
    for (int i = 0; i < bits && i < 32; ++i) {
        if (value & (1u << i)) result |= 1u << (bits - 1 - i);
    }
    return result;
}

void CCrc32::BuildTable() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t r = Reflect(i, 8) << 24;
        for (int bit = 0; bit < 8; ++bit) r = (r << 1) ^ ((r & 0x80000000u) ? kPolynomial : 0);
        m_table[i] = Reflect(r, 32);
    }
}

uint32_t CCrc32::Calculate(const void* data, size_t length) const { return Update(0, data, length); }

uint32_t CCrc32::Update(uint32_t crc, const void* data, size_t length) const {
    if (length == 0) return crc;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t reg = crc ^ 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) reg = (reg >> 8) ^ m_table[(reg ^ p[i]) & 0xFF];
    return reg ^ 0xFFFFFFFFu;
}

}  // namespace rs232
