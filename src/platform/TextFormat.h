// printf-style formatting into a std::string for the handlers' status texts and reply data.
// The formats are checked by the compiler; the result has whatever length the text needs.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace rs232 {

[[gnu::format(printf, 1, 2)]] inline std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(text.data(), text.size(), format, again);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(again);
    return text;
}

}  // namespace rs232
