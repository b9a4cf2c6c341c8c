// Table-driven reflected CRC-32 (IEEE 802.3, polynomial 0x04C11DB7), check value 0xCBF43926.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rs232 {

class CCrc32 {
public:
    CCrc32() = default;  // table unfilled until BuildTable
    virtual ~CCrc32() = default;

    void BuildTable();
    // The low `bits` bits of value in reverse order; 0 for bits <= 0.
    static uint32_t Reflect(uint32_t value, int bits);
    // CRC-32 of the bytes; 0 for length 0. Needs BuildTable first.
    uint32_t Calculate(const void* data, size_t length) const;
    // crc (0 to begin with) continued over more bytes: Update(Update(0, a), b) is the CRC-32 of
    // a followed by b. Needs BuildTable first.
    uint32_t Update(uint32_t crc, const void* data, size_t length) const;

private:
    uint32_t m_table[256] = {};
};

}  // namespace rs232
