// Whole numbers as people write them in settings, device names and command lines: one reading,
// so that the server and the client accept and refuse the same texts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace rs232 {

// text as a whole decimal number from min to max: digits only, a leading '-' only for a negative
// number, nothing before or after (no blanks, '+', exponent, fraction or other base). Nothing
// when it is anything else or out of the range.
std::optional<int64_t> ReadNumber(std::string_view text, int64_t min, int64_t max);

// Why ReadNumber refused: "not a whole number from <min> to <max>".
std::string NumberRangeText(int64_t min, int64_t max);

}  // namespace rs232
