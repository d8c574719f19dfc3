// The plug-in's system-log lines. Each line carries the source name "notify"
// and a fixed line number; the numbers are part of what operators grep for,
// so each is a constant here, together with its format, never __LINE__.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string_view>
#include <type_traits>

inline constexpr char log_source_name[] = "notify";

// Stands, among a line's argument types, for "%m": the text of the error
// that log_error_errno is given. No value of it is ever made.
struct ErrorNumberText {
    ErrorNumberText() = delete;
};

namespace log_format {

// The conversion that fills an argument of each type.
template <typename Arg>
consteval char conversion_for()
{
    if constexpr (std::is_same_v<Arg, const char*>) {
        return 's';
    } else if constexpr (std::is_same_v<Arg, int>) {
        return 'd';
    } else {
        static_assert(std::is_same_v<Arg, ErrorNumberText>, "a log line takes texts, ints and the error's text");
        return 'm';
    }
}

// Whether `format` begins "%s(%d)-> " (the source name and the line's
// number) and its conversions after that are `expected`, in order. Any other
// conversion, "%%" included, does not match.
consteval bool takes(std::string_view format, std::string_view expected)
{
    constexpr std::string_view prefix = "%s(%d)-> ";
    if (!format.starts_with(prefix))
        return false;
    std::size_t taken = 0;
    for (std::size_t i = prefix.size(); i < format.size(); ++i) {
        if (format[i] != '%')
            continue;
        ++i;
        if (i == format.size() || taken == expected.size() || format[i] != expected[taken])
            return false;
        ++taken;
    }
    return taken == expected.size();
}

// Never defined: a line whose format does not take its arguments calls it
// while it is built at compile time, which makes that line an error.
void format_does_not_take_the_arguments();

} // namespace log_format

// One log line: its number and its format, and the types of the arguments
// that the format takes after the source name and the number. The format is
// checked against those types where the line is defined, and every call's
// arguments against them where it is made (as printf's format checking
// would, which cannot see into a structure).
template <typename... Args>
struct LogLine {
    int number;
    const char* format;

    consteval LogLine(int line_number, const char* line_format) : number(line_number), format(line_format)
    {
        constexpr char expected[] = {log_format::conversion_for<Args>()..., '\0'};
        if (!log_format::takes(line_format, expected))
            log_format::format_does_not_take_the_arguments();
    }
};

// Every line the plug-in writes, in the order of their numbers.
namespace log_line {

// Sleep monitor.
inline constexpr LogLine<const char*> sleep_read_failed{
    77, "%s(%d)-> on_set_notify_onoff sd_bus_message_read failed: %s"};
inline constexpr LogLine<const char*> sleep_signal{81, "%s(%d)-> on_set_notify_onoff: PrepareForSleep %s"};
// A PrepareForSleep from anyone but logind: written once per process.
inline constexpr LogLine<> foreign_sleep_signal{
    88, "%s(%d)-> Ignoring PrepareForSleep from senders other than the owner of org.freedesktop.login1"};
inline constexpr LogLine<ErrorNumberText> system_bus_failed{100, "%s(%d)-> Failed to connect to system bus: %m"};
inline constexpr LogLine<const char*> match_failed{114, "%s(%d)-> Failed to match signal PrepareForSleep: %s"};
inline constexpr LogLine<ErrorNumberText> process_failed{124, "%s(%d)-> Failed to process bus: %m"};
inline constexpr LogLine<ErrorNumberText> wait_failed{135, "%s(%d)-> Failed to wait on bus: %m"};
// Awake for the whole bound after a sleep with no resume: notifications on again.
inline constexpr LogLine<int> silence_ended{
    140, "%s(%d)-> No PrepareForSleep false within %d s awake: notifications on again"};

// Desktop notification. These two end in a line feed; the others do not.
inline constexpr LogLine<const char*> user_bus_failed{254, "%s(%d)-> Failed to connect to user bus: %s\n"};
inline constexpr LogLine<const char*> notify_failed{283, "%s(%d)-> Failed to Notify: %s\n"};

// Entry.
inline constexpr LogLine<> open_failed{302, "%s(%d)-> open /sys/kernel/security/tolvane/.notify failed!"};
inline constexpr LogLine<const char*> monitor_start_failed{311, "%s(%d)-> Failed to start sleep monitor thread: %s"};

} // namespace log_line

namespace log_detail {

// What the functions below write with, "notify" and the line's number first.
// Unchecked by the compiler's printf checking on purpose: each format has
// been checked against its arguments where its line is defined.
void write_error(const char* format, ...);
void write_info(const char* format, ...);
// At LOG_ERR with errno set to `error` for "%m"; errno is restored after.
void write_error_errno(int error, const char* format, ...);

} // namespace log_detail

// Writes the line at LOG_INFO.
template <typename... Args>
void log_info(const LogLine<Args...>& line, std::type_identity_t<Args>... args)
{
    log_detail::write_info(line.format, log_source_name, line.number, args...);
}

// Writes the line at LOG_ERR and returns -1, the failure its callers pass
// on: `return log_error(log_line::..., ...);` logs and fails in one call.
template <typename... Args>
int log_error(const LogLine<Args...>& line, std::type_identity_t<Args>... args)
{
    log_detail::write_error(line.format, log_source_name, line.number, args...);
    return -1;
}

// For a failure given as a negative errno: writes the line at LOG_ERR and
// returns r, so that `return log_error_errno(r, log_line::..., ...);` logs
// and passes the failure on in one call.
template <typename... Args>
int log_error_errno(int r, const LogLine<Args...>& line, std::type_identity_t<Args>... args)
{
    log_detail::write_error(line.format, log_source_name, line.number, args...);
    return r;
}

// The same for a line that shows the error through "%m".
inline int log_error_errno(int r, const LogLine<ErrorNumberText>& line)
{
    log_detail::write_error_errno(-r, line.format, log_source_name, line.number);
    return r;
}

// The system's text for an error number, for the lines that show one.
// strerror may share one buffer between threads; this keeps its own.
struct ErrorText {
    explicit ErrorText(int error);
    ErrorText(const ErrorText&) = delete;
    ErrorText& operator=(const ErrorText&) = delete;
    char buffer[128];
    const char* text; // may point into buffer
};

// Where the lines go (through log_sink, below): opens the log as
// "tolvane-daemon" (LOG_PID, LOG_USER) before every line and hands the line
// to vsyslog.
void write_system_log(int priority, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// What every line goes through: write_system_log, by way of the plug-in's
// table of steps (notify_steps.cpp), unless a test has pointed it elsewhere.
void log_sink(int priority, const char* format, va_list args);
