#include "notify_steps.h"

namespace notify_steps {

CalendarClock notify_clock = system_clock_seconds;
MonotonicClock monitor_clock = monotonic_now;
NotificationStep send_notification_step = send_blocked_notification;
LogSink log_sink = write_system_log;
ThreadRoutine monitor_thread_routine = sleep_monitor_thread;

} // namespace notify_steps

std::int64_t notify_clock()
{
    return notify_steps::notify_clock();
}

std::chrono::nanoseconds monitor_clock()
{
    return notify_steps::monitor_clock();
}

int send_notification_step(EventKind kind, const char* program_text, const char* object_path)
{
    return notify_steps::send_notification_step(kind, program_text, object_path);
}

void log_sink(int priority, const char* format, va_list args)
{
    notify_steps::log_sink(priority, format, args);
}

MonitorRoutine monitor_thread_routine()
{
    return notify_steps::monitor_thread_routine;
}
