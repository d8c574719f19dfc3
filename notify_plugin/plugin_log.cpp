#include "plugin_log.h"

#include <syslog.h>

#include <cerrno>

LogSink log_sink = default_log_sink;

void default_log_sink(int priority, const char* format, va_list args)
{
    // openlog may touch errno; vsyslog reads it for "%m".
    const int saved_errno = errno;
    openlog("tolvane-daemon", LOG_PID, LOG_USER);
    errno = saved_errno;
    vsyslog(priority, format, args);
}

void log_error(const char* format, ...)
{
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    errno = saved_errno;
    log_sink(LOG_ERR, format, args);
    va_end(args);
    errno = saved_errno;
}

void log_info(const char* format, ...)
{
    const int saved_errno = errno;
    va_list args;
    va_start(args, format);
    errno = saved_errno;
    log_sink(LOG_INFO, format, args);
    va_end(args);
    errno = saved_errno;
}
