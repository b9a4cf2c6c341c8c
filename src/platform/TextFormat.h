// printf-style formatting into a std::string for the handlers' status texts and reply data.
// The formats are checked by the compiler; the result has whatever length the text needs.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

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

// The length of the well-formed UTF-8 sequence that starts text[i], a byte of 0x80 or more; 0
// when none does (a stray continuation byte, an overlong form, a surrogate, a cut sequence).
inline size_t Utf8SequenceLength(std::string_view text, size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const size_t n = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3
                   : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return 0;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if ((c == 0xE0 && second < 0xA0) || (c == 0xED && second > 0x9F) ||
        (c == 0xF0 && second < 0x90) || (c == 0xF4 && second > 0x8F))
        return 0;
    return n;
}

inline bool IsUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) < 0x80) continue;
        const size_t n = Utf8SequenceLength(text, i);
        if (n == 0) return false;
        i += n - 1;
    }
    return true;
}

// A JSON string literal of 8-bit text: quotes, backslashes and control characters escaped;
// valid UTF-8 kept as it is, any other byte taken as the Latin-1 character of its value, so the
// result is always valid JSON.
inline std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            out += FormatText("\\u%04x", c);
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (const size_t n = Utf8SequenceLength(text, i); n > 0) {
            out.append(text, i, n);
            i += n - 1;
        } else {
            out += FormatText("\\u%04x", c);
        }
    }
    return out + '"';
}

}  // namespace rs232
