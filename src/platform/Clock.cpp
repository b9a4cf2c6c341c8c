#include "platform/Clock.h"

#include <ctime>
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
    return static_cast<int64_t>(std::time(nullptr));
}

void SetClockForTest(std::function<int64_t()> clock) { TestClock() = std::move(clock); }

}  // namespace rs232
