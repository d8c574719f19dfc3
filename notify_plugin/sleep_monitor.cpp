#include "sleep_monitor.h"

#include "bus_handles.h"
#include "bus_names.h"
#include "notify.h"
#include "plugin_log.h"

#include <cstdint>
#include <cstring>
#include <thread>

ThreadRoutine monitor_thread_routine = sleep_monitor_thread;

namespace {

// Connected and subscribed, or a negative errno from the step that failed
// (which it has logged). The subscription has no slot of its own: it lives
// exactly as long as the connection.
int subscribe(BusConnection& bus)
{
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    if (r < 0) {
        // sd-bus reports through r, not errno; the line names it through %m.
        log_error_errno(log_line::system_bus_failed_format, log_line::system_bus_failed, -r);
        return r;
    }
    bus.reset(raw);
    r = sd_bus_match_signal(bus.get(), nullptr, bus_names::login1_service, bus_names::login1_path,
        bus_names::login1_manager_interface, bus_names::prepare_for_sleep, on_set_notify_onoff, nullptr);
    if (r < 0) {
        log_error(log_line::match_failed_format, log_source_name, log_line::match_failed, ErrorText(-r).text);
        return r;
    }
    return 0;
}

// Handles whatever has arrived, then sleeps in the wait until more does.
// Returns only when processing or waiting fails, having logged it.
int run_event_loop(sd_bus* bus)
{
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0) {
            log_error_errno(log_line::process_failed_format, log_line::process_failed, -r);
            return r;
        }
        if (r > 0)
            continue; // more may be queued already
        r = sd_bus_wait(bus, UINT64_MAX);
        if (r < 0) {
            log_error_errno(log_line::wait_failed_format, log_line::wait_failed, -r);
            return r;
        }
    }
}

} // namespace

void* sleep_monitor_thread(void*)
{
    BusConnection bus; // closed and released on every way out, once
    if (subscribe(bus) < 0)
        return nullptr;
    run_event_loop(bus.get());
    return nullptr;
}

int on_set_notify_onoff(sd_bus_message* message, void*, sd_bus_error*) noexcept
{
    int sleeping = 0;
    const int r = sd_bus_message_read(message, "b", &sleeping);
    if (r < 0) {
        log_error(log_line::sleep_read_failed_format, log_source_name, log_line::sleep_read_failed, ErrorText(-r).text);
        return -1;
    }
    // The line goes out before the flag changes.
    log_info(log_line::sleep_signal_format, log_source_name, log_line::sleep_signal, sleeping ? "true" : "false");
    if (sleeping) {
        set_notifications_enabled(0);
        return 0;
    }
    std::this_thread::sleep_for(resume_grace);
    set_notifications_enabled(1);
    return 0;
}
