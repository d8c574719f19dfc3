// The plug-in's two clocks, as the system keeps them. The plug-in reads them
// through notify_clock() and monitor_clock() (notify_steps.h), which tests and
// benchmarks point at clocks of their own.
#pragma once

#include <chrono>
#include <cstdint>

// Whole seconds since the Unix epoch, from time(): the rate limiter's clock.
std::int64_t system_clock_seconds();

// CLOCK_MONOTONIC, which stands still while the machine sleeps: the sleep
// monitor's clock.
std::chrono::nanoseconds monotonic_now();
