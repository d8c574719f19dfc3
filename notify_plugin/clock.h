// The one place the plug-in reads the calendar time. Tests and benchmarks
// replace `notify_clock` to put events at exact seconds.
#pragma once

#include <cstdint>

using ClockFn = std::int64_t (*)();

// Whole seconds since the Unix epoch, from time().
std::int64_t system_clock_seconds();

extern ClockFn notify_clock;
