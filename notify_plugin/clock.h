// The plug-in's two clocks, as the system keeps them, and the steps through
// which the plug-in reads them.
#pragma once

#include <chrono>
#include <cstdint>

// Whole seconds since the Unix epoch, from time(): the rate limiter's clock.
std::int64_t system_clock_seconds();

// CLOCK_MONOTONIC, which stands still while the machine sleeps: the sleep
// monitor's clock.
std::chrono::nanoseconds monotonic_now();

// The clocks as the plug-in reads them: through its table of steps
// (notify_steps.cpp), system_clock_seconds and monotonic_now unless a test
// or a benchmark has pointed them at clocks of its own.
std::int64_t notify_clock();
std::chrono::nanoseconds monitor_clock();
