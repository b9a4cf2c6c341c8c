#include "platform/Clock.h"

#include <utility>

namespace rs232 {

namespace {
// The program has one thread; the test clock needs no guarding.
std::function<int64_t()>& TestClock() {
    static std::function<int64_t()> clock;
    return clock;
}
}  // namespace

int64_t CurrentTime() {
    const auto& clock = TestClock();
    if (clock) return clock();
    return static_cast<int64_t>(::time(nullptr));
}

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

void SetClockForTest(std::function<int64_t()> clock) { TestClock() = std::move(clock); }

}  // namespace rs232
