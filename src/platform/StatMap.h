// Internal to the platform layer: how a stat() record becomes the status fields the clients see.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string_view>

namespace rs232::detail {

// Attribute bits of an entry: 0x10 directory, 0x20 regular file, +0x01 when the owner may
// not write, +0x02 for a dot name other than "." and "..". `name` may be a whole path; only its
// last component counts and trailing '/' are ignored. Other file types get no type bit.
uint8_t AttributesOf(const struct stat& st, std::string_view name);

// Signed 32-bit views: sizes clamp to INT32_MAX, times into the int32 range.
int32_t ClampSize(int64_t size);
int32_t ClampTime(int64_t seconds);

}  // namespace rs232::detail
