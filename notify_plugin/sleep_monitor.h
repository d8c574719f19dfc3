// Silencing notifications while the machine sleeps, driven by logind's
// PrepareForSleep signal on the system bus.
#pragma once

#include "notify_export.h"

#include <systemd/sd-bus.h>

#include <chrono>

// After a resume the desktop may not be ready to show anything yet.
inline constexpr std::chrono::seconds resume_grace{2};

// The monitor thread's start routine: subscribes on its own system-bus
// connection and runs that connection's event loop until a bus step fails,
// which it logs. Reads no argument; returns null.
void* sleep_monitor_thread(void* unused);

// What registration starts as the monitor thread; tests swap in their own so
// no unit test reaches the host's system bus.
using ThreadRoutine = void* (*)(void*);
extern ThreadRoutine monitor_thread_routine;

// PrepareForSleep handler: true silences at once; false shows again after
// resume_grace, slept on the calling (monitor) thread. Returns 0, or -1 when
// the argument is not a boolean. Leaves user data and error record alone.
NOTIFY_EXPORT int on_set_notify_onoff(sd_bus_message* message, void* userdata, sd_bus_error* ret_error) noexcept;
