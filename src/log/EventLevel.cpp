#include "log/EventLevel.h"

#include <cctype>

namespace rs232 {

namespace {

// A line is of the level of the first entry whose prefix it starts with and whose marker (when
// given) it contains. Prefixes are the fixed starts of the texts, so a file name that happens to
// hold "Error" does not turn a success red.
struct SLevelRule {
    EEventLevel level;
    const char* prefix;
    const char* marker;
};
constexpr SLevelRule kRules[] = {
    // Retries the link recovers from, and answers given with a reduced field.
    {EEventLevel::Warning, "SendBlockRetry ", nullptr},
    {EEventLevel::Warning, "FTBlockReceived: Block retry", nullptr},
    {EEventLevel::Warning, "FTBlockReceived: Block ", " ignored"},
    {EEventLevel::Warning, "File Info ", "too large for the size field"},
    {EEventLevel::Warning, "Actual date/time ", "outside the 32-bit range"},
    {EEventLevel::Warning, "Base path ", " does not end in /"},
    // Failures and refusals.
    {EEventLevel::Error, "Error", nullptr},
    {EEventLevel::Error, "File error:", nullptr},
    {EEventLevel::Error, "FTBlockReceived: ", nullptr},
    {EEventLevel::Error, "Block ", " Error: ["},
    {EEventLevel::Error, "Access to ", " refused: "},
    {EEventLevel::Error, "Requested ", nullptr},
    {EEventLevel::Error, "Cannot ", nullptr},
    {EEventLevel::Error, "Directory ", " cannot be read"},
    {EEventLevel::Error, "File ", " too large to transmit"},
    {EEventLevel::Error, "Serial port ", " lost, waiting"},
    {EEventLevel::Error, "Serial port ", ": "},  // why a start failed
    {EEventLevel::Error, "Receiving and Rename ", "Copy failed"},
    {EEventLevel::Error, "Timeout", nullptr},
    {EEventLevel::Error, "Unknown ", nullptr},
    {EEventLevel::Error, "Server not running", nullptr},
    {EEventLevel::Error, "Start Server Error", nullptr},
    {EEventLevel::Error, "Backup Dir Error", nullptr},
    {EEventLevel::Error, "Log Dir Error", nullptr},
};

constexpr size_t kStampLength = 9;  // "HH:MM:SS "

}  // namespace

EEventLevel EventLevel(const std::string& text) {
    for (const SLevelRule& rule : kRules) {
        if (text.rfind(rule.prefix, 0) != 0) continue;
        if (rule.marker && text.find(rule.marker) == std::string::npos) continue;
        return rule.level;
    }
    return EEventLevel::Info;
}

int SyslogPriority(EEventLevel level) {
    switch (level) {
        case EEventLevel::Error: return 3;
        case EEventLevel::Warning: return 4;
        case EEventLevel::Info: break;
    }
    return 6;
}

std::string WithoutTimeStamp(const std::string& line) {
    if (line.size() < kStampLength) return line;
    for (size_t i = 0; i < kStampLength; ++i) {
        const char c = line[i];
        const bool ok = (i == 2 || i == 5) ? c == ':'
                        : i == 8           ? c == ' '
                                           : std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!ok) return line;
    }
    return line.substr(kStampLength);
}

}  // namespace rs232
