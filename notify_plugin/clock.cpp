#include "clock.h"

#include <ctime>

std::int64_t system_clock_seconds()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

std::chrono::nanoseconds monotonic_now()
{
    timespec now{};
    // The monotonic clock is always there, and the pointer is good: it
    // cannot fail.
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}
