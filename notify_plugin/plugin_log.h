// The plug-in's system-log lines. Each line carries the source name "notify"
// and a fixed line number; the numbers are part of what operators grep for,
// so they are constants here, beside their formats, never __LINE__.
#pragma once

#include <cstdarg>

inline constexpr char log_source_name[] = "notify";

namespace log_line {

// Sleep monitor.
inline constexpr int sleep_read_failed = 77;
inline constexpr char sleep_read_failed_format[] = "%s(%d)-> on_set_notify_onoff sd_bus_message_read failed: %s";
inline constexpr int sleep_signal = 81;
inline constexpr char sleep_signal_format[] = "%s(%d)-> on_set_notify_onoff: PrepareForSleep %s";
// A PrepareForSleep from anyone but logind: written once per process.
inline constexpr int foreign_sleep_signal = 88;
inline constexpr char foreign_sleep_signal_format[]
    = "%s(%d)-> Ignoring PrepareForSleep from senders other than the owner of org.freedesktop.login1";
inline constexpr int system_bus_failed = 100;
inline constexpr char system_bus_failed_format[] = "%s(%d)-> Failed to connect to system bus: %m";
inline constexpr int match_failed = 114;
inline constexpr char match_failed_format[] = "%s(%d)-> Failed to match signal PrepareForSleep: %s";
inline constexpr int process_failed = 124;
inline constexpr char process_failed_format[] = "%s(%d)-> Failed to process bus: %m";
inline constexpr int wait_failed = 135;
inline constexpr char wait_failed_format[] = "%s(%d)-> Failed to wait on bus: %m";
// Awake for the whole bound after a sleep with no resume: notifications on again.
inline constexpr int silence_ended = 140;
inline constexpr char silence_ended_format[]
    = "%s(%d)-> No PrepareForSleep false within %d s awake: notifications on again";

// Desktop notification. These two end in a line feed; the others do not.
inline constexpr int user_bus_failed = 254;
inline constexpr char user_bus_failed_format[] = "%s(%d)-> Failed to connect to user bus: %s\n";
inline constexpr int notify_failed = 283;
inline constexpr char notify_failed_format[] = "%s(%d)-> Failed to Notify: %s\n";

// Entry.
inline constexpr int open_failed = 302;
inline constexpr char open_failed_format[] = "%s(%d)-> open /sys/kernel/security/tolvane/.notify failed!";
inline constexpr int monitor_start_failed = 311;
inline constexpr char monitor_start_failed_format[] = "%s(%d)-> Failed to start sleep monitor thread: %s";

} // namespace log_line

// Writes one line at LOG_ERR / LOG_INFO, with the arguments the format asks
// for, beginning with log_source_name and the line's number.
void log_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For the lines whose format is "%s(%d)-> ...: %m": writes the line at
// LOG_ERR with errno set to `error`, the error the line is about. (Kept apart
// from log_error because ISO C++ printf checking rejects %m.)
void log_error_errno(const char* format, int line, int error);

// The system's text for an error number, for the lines that show one.
// strerror may share one buffer between threads; this keeps its own.
struct ErrorText {
    explicit ErrorText(int error);
    ErrorText(const ErrorText&) = delete;
    ErrorText& operator=(const ErrorText&) = delete;
    char buffer[128];
    const char* text; // may point into buffer
};

// Where the lines go (through log_sink, test_seams.h): opens the log as
// "tolvane-daemon" (LOG_PID, LOG_USER) before every line and hands the line
// to vsyslog.
void write_system_log(int priority, const char* format, va_list args) __attribute__((format(printf, 2, 0)));
