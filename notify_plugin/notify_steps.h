// The plug-in's test seams, all in one place. Five steps reach what a unit
// test must not (the calendar clock, the monotonic clock, the notification
// on the user bus, the system log and the start of the monitor thread): the
// plug-in takes each through a function below, which calls whatever the
// pointer of the same name in test_seams holds, by default the plug-in's own
// step. Tests and benchmarks point them elsewhere, and reset or inspect the
// plug-in's state with the functions at the end. Nothing here is for a host.
#pragma once

#include "event_filter.h"
#include "rate_limiter.h"

#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <vector>

// The steps, as the plug-in takes them.
std::int64_t notify_clock();
std::chrono::nanoseconds monitor_clock();
int send_notification_step(EventKind kind, const char* program_text, const char* object_path);
void log_sink(int priority, const char* format, va_list args);
// The routine a new monitor thread runs, read by the thread that starts it:
// a test that sets the pointer next then races with no thread it started.
using MonitorRoutine = void* (*)(void*);
MonitorRoutine monitor_thread_routine();

namespace test_seams {

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

} // namespace test_seams

// Empties message_time_map and its time index together.
void clear_message_time_map();

// The time index as it stands, for checks that it agrees with the map: its
// buckets in order of time, each with the entries let through in that
// second in the order they came and whether the order of admissions finds
// it by its first entry, how many buckets that order names, and the byte
// count of the keys.
struct TimeIndexBucket {
    std::int64_t time;
    std::vector<const MessageTimeMap::value_type*> entries;
    bool found_by_its_front;
};
struct TimeIndexView {
    std::vector<TimeIndexBucket> buckets;
    std::size_t fronts;
    std::size_t key_bytes;
};
TimeIndexView message_time_index();

// Forgets any sleep, and any foreign sender, seen so far, as at the start
// of a monitor thread.
void reset_silence();

// As at the start of a monitor: nobody is known to own logind's name.
void forget_logind_owner();
