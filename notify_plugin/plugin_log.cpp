#include "plugin_log.h"

#include "test_seams.h"

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

namespace {

// Unchecked on purpose: only log_error_errno calls it, with the %m formats.
void write_line(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log_sink(priority, format, args);
    va_end(args);
}

} // namespace

void log_error(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log_sink(LOG_ERR, format, args);
    va_end(args);
}

void log_info(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    log_sink(LOG_INFO, format, args);
    va_end(args);
}

void log_error_errno(const char* format, int line, int error)
{
    const int saved_errno = errno;
    errno = error;
    write_line(LOG_ERR, format, log_source_name, line);
    errno = saved_errno;
}
