#include "platform/Number.h"

#include <charconv>

#include "platform/TextFormat.h"

namespace rs232 {

std::optional<int64_t> ReadNumber(std::string_view text, int64_t min, int64_t max) {
    // from_chars takes no blanks and no '+', and stops at an exponent or a fraction.
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
    if (text.empty() || error != std::errc{} || stop != end || value < min || value > max)
        return std::nullopt;
    return value;
}

std::string NumberRangeText(int64_t min, int64_t max) {
    return FormatText("not a whole number from %lld to %lld", static_cast<long long>(min),
                      static_cast<long long>(max));
}

}  // namespace rs232
