#include <ctime>

#include "platform/Clock.h"

namespace rs232 {

CLocalTime LocalTime(int64_t t) {
    CLocalTime result;
    const __time64_t value = t;
    struct tm parts {};
    if (::_localtime64_s(&parts, &value) != 0) return result;  // out of range: the epoch's fields
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    // The fields read as UTC, less the instant: east of Greenwich positive, as tm_gmtoff.
    result.offset = static_cast<long>(::_mkgmtime64(&parts) - value);
    return result;
}

}  // namespace rs232
