// Silencing notifications while the machine sleeps, driven by logind's
// PrepareForSleep signal on the system bus.
#pragma once

#include "notify_export.h"

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>

// After a resume the desktop may not be ready to show anything yet.
inline constexpr std::chrono::seconds resume_grace{2};

// Awake time after a PrepareForSleep(true) at which notifications come back
// on by themselves, should the matching false never come (logind may send
// none after a resume from hibernation). A normal suspend never reaches it:
// the monitor's clock (monotonic_now, clock.h) stands still while the
// machine sleeps.
extern const std::chrono::seconds silence_bound;

// The monitor thread's start routine: subscribes on its own system-bus
// connection and runs that connection's event loop until a bus step fails,
// which it logs. However it ends, it leaves notifications on: nothing could
// turn them back on after it. Reads no argument; returns null.
void* sleep_monitor_thread(void* unused);

// The routine a new monitor thread runs: sleep_monitor_thread, by way of the
// plug-in's table of steps (notify_steps.cpp), unless a test has pointed it
// elsewhere. Read by the thread that starts the monitor, so that a test that
// sets it next races with no thread it started.
using MonitorRoutine = void* (*)(void*);
MonitorRoutine monitor_thread_routine();

// PrepareForSleep handler. A signal that logind's current owner did not
// send changes nothing (the first one is logged, no later one). Otherwise
// true silences at once; false, while silenced,
// makes notifications due again resume_grace after it (the last false
// counts; a true meanwhile keeps silence). Returns 0, or -1 when the
// argument is not a boolean. Leaves user data and error record alone.
NOTIFY_EXPORT int on_set_notify_onoff(sd_bus_message* message, void* userdata, sd_bus_error* ret_error) noexcept;

// The event loop's timekeeping, run whenever nothing is left to process:
// turns notifications back on once a resume's pause or the silence bound
// has run out (the latter with a line of its own), then says how long the
// bus wait may last, in microseconds. UINT64_MAX, no limit, whenever
// notifications are on.
std::uint64_t settle_silence();
