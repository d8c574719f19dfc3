#include "test_seams.h"

#include "clock.h"
#include "desktop_notification.h"
#include "plugin_log.h"
#include "sleep_monitor.h"

namespace test_seams {

CalendarClock notify_clock = system_clock_seconds;
MonotonicClock monitor_clock = monotonic_now;
NotificationStep send_notification_step = send_blocked_notification;
LogSink log_sink = write_system_log;
ThreadRoutine monitor_thread_routine = sleep_monitor_thread;

} // namespace test_seams

std::int64_t notify_clock()
{
    return test_seams::notify_clock();
}

std::chrono::nanoseconds monitor_clock()
{
    return test_seams::monitor_clock();
}

int send_notification_step(EventKind kind, const char* program_text, const char* object_path)
{
    return test_seams::send_notification_step(kind, program_text, object_path);
}

void log_sink(int priority, const char* format, va_list args)
{
    test_seams::log_sink(priority, format, args);
}

MonitorRoutine monitor_thread_routine()
{
    return test_seams::monitor_thread_routine;
}
