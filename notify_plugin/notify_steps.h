// The plug-in's table of steps: the five ways out of its own code (the
// calendar clock, the monotonic clock, the notification on the user bus, the
// system log and the start of the monitor thread). The plug-in takes each
// through a function declared beside its default step (notify_clock and
// monitor_clock in clock.h, send_notification_step in desktop_notification.h,
// log_sink in plugin_log.h, monitor_thread_routine in sleep_monitor.h), which
// calls whatever the pointer of the same name below holds. Beside
// notify_steps.cpp, only tests and benchmarks include this, to point the
// steps elsewhere; nothing here is for a host.
#pragma once

#include "clock.h"
#include "desktop_notification.h"
#include "event_filter.h"
#include "plugin_log.h"
#include "sleep_monitor.h"

#include <chrono>
#include <cstdarg>
#include <cstdint>

namespace notify_steps {

using CalendarClock = std::int64_t (*)();
extern CalendarClock notify_clock; // system_clock_seconds

using MonotonicClock = std::chrono::nanoseconds (*)();
extern MonotonicClock monitor_clock; // monotonic_now

using NotificationStep = int (*)(EventKind kind, const char* program_text, const char* object_path);
extern NotificationStep send_notification_step; // send_blocked_notification

using LogSink = void (*)(int priority, const char* format, va_list args);
extern LogSink log_sink; // write_system_log

using ThreadRoutine = MonitorRoutine;
extern ThreadRoutine monitor_thread_routine; // sleep_monitor_thread

} // namespace notify_steps
