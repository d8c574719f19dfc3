// The plug-in's table of steps: the five ways out of its own code (the
// calendar clock, the monotonic clock, the notification on the user bus, the
// system log and the start of the monitor thread). The plug-in takes each
// through a function below, which calls whatever the pointer of the same name
// in notify_steps holds, by default the plug-in's own step, named beside it.
// Tests and benchmarks point them elsewhere. Nothing here is for a host.
#pragma once

#include "event_filter.h"

#include <chrono>
#include <cstdarg>
#include <cstdint>

// The steps, as the plug-in takes them.
std::int64_t notify_clock();
std::chrono::nanoseconds monitor_clock();
int send_notification_step(EventKind kind, const char* program_text, const char* object_path);
void log_sink(int priority, const char* format, va_list args);
// The routine a new monitor thread runs, read by the thread that starts it:
// a test that sets the pointer next then races with no thread it started.
using MonitorRoutine = void* (*)(void*);
MonitorRoutine monitor_thread_routine();

namespace notify_steps {

using CalendarClock = std::int64_t (*)();
extern CalendarClock notify_clock; // system_clock_seconds (clock.h)

using MonotonicClock = std::chrono::nanoseconds (*)();
extern MonotonicClock monitor_clock; // monotonic_now (clock.h)

using NotificationStep = int (*)(EventKind kind, const char* program_text, const char* object_path);
extern NotificationStep send_notification_step; // send_blocked_notification (desktop_notification.h)

using LogSink = void (*)(int priority, const char* format, va_list args);
extern LogSink log_sink; // write_system_log (plugin_log.h)

using ThreadRoutine = MonitorRoutine;
extern ThreadRoutine monitor_thread_routine; // sleep_monitor_thread (sleep_monitor.h)

} // namespace notify_steps
