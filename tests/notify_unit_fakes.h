// Stand-ins for the plug-in's steps (notify_steps.h: clock, notification step,
// log sink, monitor thread), so unit tests run events at exact seconds,
// without a bus and without writing to the host's log.
#pragma once

#include "clock.h"
#include "desktop_notification.h"
#include "notify.h"
#include "notify_onoff.h"
#include "notify_steps.h"
#include "plugin_log.h"
#include "rate_limiter.h"
#include "record_reader.h"
#include "sleep_monitor.h"
#include "state_probes.h"

#include "notify_record.h"
#include "unique_fd.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fakes {

struct LoggedLine {
    int priority;
    std::string text;
    int switch_when_logged; // g_notify_onoff at the moment of the line
    std::chrono::steady_clock::time_point when;
};

struct SentNotification {
    EventKind kind;
    std::string program_text;
    std::string object_path;
};

inline std::vector<LoggedLine> logged;
inline std::vector<SentNotification> sent;
inline std::int64_t now = 1'700'000'000;
inline int send_result = 1;

__attribute__((format(printf, 2, 0))) inline void capture_log(int priority, const char* format, va_list args)
{
    char line[2048];
    std::vsnprintf(line, sizeof line, format, args);
    logged.push_back({priority, line, notifications_enabled(), std::chrono::steady_clock::now()});
}

inline std::int64_t fixed_clock()
{
    return now;
}

inline int record_send(EventKind kind, const char* program_text, const char* object_path)
{
    sent.push_back({kind, program_text, object_path});
    return send_result;
}

using Fd = rig::unique_fd;

struct FileCloser {
    void operator()(std::FILE* stream) const noexcept { std::fclose(stream); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

using rig::notify_record;

// Stands in for the monitor thread, which would reach the system bus.
inline void* idle_monitor(void*)
{
    return nullptr;
}

// Puts the stand-ins in place and the plug-in's state back to "just loaded".
inline void install()
{
    notify_steps::log_sink = capture_log;
    notify_steps::notify_clock = fixed_clock;
    notify_steps::send_notification_step = record_send;
    notify_steps::monitor_thread_routine = idle_monitor;
    logged.clear();
    sent.clear();
    now = 1'700'000'000;
    send_result = 1;
    clear_message_time_map();
    set_notifications_enabled(1);
}

inline void restore()
{
    clear_message_time_map();
    set_notifications_enabled(1);
    notify_steps::send_notification_step = send_blocked_notification;
    notify_steps::notify_clock = system_clock_seconds;
    // The log sink and the monitor stay fakes: no unit test may write to the
    // host's log or reach its system bus.
}

// A bus socket in a fresh temporary directory that takes a connection and
// hangs up before answering: the client connects fine, and its first call
// fails. Nothing of the host's buses is touched.
struct HangingUpBus {
    std::filesystem::path dir;
    std::string address; // for DBUS_SESSION_BUS_ADDRESS / DBUS_SYSTEM_BUS_ADDRESS
    Fd listener;

    HangingUpBus()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "notify-unit-bus-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            return;
        dir = pattern;
        const std::string path = (dir / "bus").string();
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        if (path.size() >= sizeof where.sun_path)
            return;
        std::memcpy(where.sun_path, path.c_str(), path.size() + 1);
        listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener || bind(listener.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) < 0
            || listen(listener.get(), 1) < 0)
            return;
        address = "unix:path=" + path;
    }
    HangingUpBus(const HangingUpBus&) = delete;
    HangingUpBus& operator=(const HangingUpBus&) = delete;
    ~HangingUpBus()
    {
        if (!dir.empty())
            std::filesystem::remove_all(dir);
    }

    // Takes one connection, reads the client's pipelined authentication up
    // to its BEGIN line (all it writes before its first call; hanging up
    // earlier could fail the connection itself), then hangs up. Waits at
    // most 10 s for each step.
    bool hang_up_on_next() const
    {
        pollfd incoming{listener.get(), POLLIN, 0};
        if (address.empty() || poll(&incoming, 1, 10'000) <= 0)
            return false;
        const Fd peer(accept(listener.get(), nullptr, nullptr));
        if (!peer)
            return false;
        std::string seen;
        char chunk[256];
        while (seen.find("BEGIN\r\n") == std::string::npos) {
            pollfd readable{peer.get(), POLLIN, 0};
            const ssize_t n = poll(&readable, 1, 10'000) > 0 ? read(peer.get(), chunk, sizeof chunk) : -1;
            if (n <= 0)
                break;
            seen.append(chunk, static_cast<std::size_t>(n));
        }
        return seen.find("BEGIN\r\n") != std::string::npos;
    }
};

} // namespace fakes
