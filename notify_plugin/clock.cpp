#include "clock.h"

#include <ctime>

ClockFn notify_clock = system_clock_seconds;

std::int64_t system_clock_seconds()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}
