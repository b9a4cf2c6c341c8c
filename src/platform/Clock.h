// Calendar time and its local breakdown, with one seam that tests use to fix the clock.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>

namespace rs232 {

// Seconds since 1970-01-01 00:00:00 UTC (time(), or the test clock when one is set).
int64_t CurrentTime();

// Local-time breakdown (localtime_r): year as a full number, month 1..12, day, h, m, s, and
// the offset from UTC in seconds east.
struct CLocalTime {
    int year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0;
    long offset = 0;
};
CLocalTime LocalTime(int64_t t);
inline CLocalTime LocalNow() { return LocalTime(CurrentTime()); }

// Replaces the clock for tests; an empty function restores time().
void SetClockForTest(std::function<int64_t()> clock);

}  // namespace rs232
