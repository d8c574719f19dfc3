#include "plugin_log.h"

#include <syslog.h>

#include <cerrno>
#include <cstring>

// The GNU strerror_r: returns the text, in `buffer` or in static storage.
ErrorText::ErrorText(int error) : buffer{}, text(strerror_r(error, buffer, sizeof buffer)) { }

void write_system_log(int priority, const char* format, va_list args)
{
    // openlog may touch errno; vsyslog reads it for "%m".
    const int saved_errno = errno;
    openlog("tolvane-daemon", LOG_PID, LOG_USER);
    errno = saved_errno;
    vsyslog(priority, format, args);
}

namespace log_detail {

void write_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log_sink(LOG_ERR, format, args);
    va_end(args);
}

void write_info(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log_sink(LOG_INFO, format, args);
    va_end(args);
}

void write_error_errno(int error, const char* format, ...)
{
    const int saved_errno = errno;
    errno = error;
    va_list args;
    va_start(args, format);
    log_sink(LOG_ERR, format, args);
    va_end(args);
    errno = saved_errno;
}

} // namespace log_detail
