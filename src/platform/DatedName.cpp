#include "platform/DatedName.h"

#include <cctype>

#include "platform/TextFormat.h"

namespace rs232 {

namespace {

struct SPattern {
    const char* tag;
    bool withTime;       // hhmmss after the date
    const char* suffix;  // nullptr: '_' and the uploaded file's name
};

constexpr SPattern kPatterns[] = {
    {"LOG", false, ".LOG"}, {"AUDIT", false, ".jsonl"}, {"BAK", true, nullptr}};

std::string Prefix(EDatedFile kind, int port) {
    return port > 0 ? FormatText("%s%d_", kPatterns[static_cast<int>(kind)].tag, port)
                    : std::string();
}

// count digits stand at from.
bool Digits(std::string_view text, size_t from, size_t count) {
    if (text.size() < from + count) return false;
    for (size_t i = from; i < from + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// The number of count (at most 4) digits at from, which Digits has found there.
int Number(std::string_view text, size_t from, size_t count) {
    int n = 0;
    for (size_t i = from; i < from + count; ++i) n = n * 10 + (text[i] - '0');
    return n;
}

}  // namespace

std::string DatedFileName(EDatedFile kind, int port, const CLocalTime& t,
                          const std::string& name) {
    const SPattern& p = kPatterns[static_cast<int>(kind)];
    std::string out = Prefix(kind, port) + FormatText("%4.4d%2.2d%2.2d", t.year, t.month, t.day);
    if (p.withTime) out += FormatText("%2.2d%2.2d%2.2d", t.hour, t.minute, t.second);
    return out + (p.suffix ? p.suffix : "_" + name);
}

std::optional<CLocalTime> DateOfDatedFile(std::string_view name, EDatedFile kind, int port) {
    const SPattern& p = kPatterns[static_cast<int>(kind)];
    const std::string prefix = Prefix(kind, port);
    const size_t digits = p.withTime ? 14 : 8;
    if (!name.starts_with(prefix) || !Digits(name, prefix.size(), digits)) return std::nullopt;
    const std::string_view rest = name.substr(prefix.size() + digits);
    if (p.suffix ? rest != p.suffix : (rest.size() < 2 || rest[0] != '_')) return std::nullopt;
    CLocalTime date;
    date.year = Number(name, prefix.size(), 4);
    date.month = Number(name, prefix.size() + 4, 2);
    date.day = Number(name, prefix.size() + 6, 2);
    if (date.month < 1 || date.month > 12 || date.day < 1 || date.day > 31) return std::nullopt;
    return date;
}

}  // namespace rs232
