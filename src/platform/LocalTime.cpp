#include <ctime>

#include "platform/Clock.h"

namespace rs232 {

CLocalTime LocalTime(int64_t t) {
    CLocalTime result;
    const time_t value = static_cast<time_t>(t);
    struct tm parts {};
    if (!::localtime_r(&value, &parts)) return result;  // out of range: the epoch's fields
    result.year = parts.tm_year + 1900;
    result.month = parts.tm_mon + 1;
    result.day = parts.tm_mday;
    result.hour = parts.tm_hour;
    result.minute = parts.tm_min;
    result.second = parts.tm_sec;
    result.offset = parts.tm_gmtoff;
    return result;
}

}  // namespace rs232
