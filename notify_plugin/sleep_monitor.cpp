#include "sleep_monitor.h"

#include "notify.h"
#include "plugin_log.h"

#include <cstring>
#include <thread>

int on_set_notify_onoff(sd_bus_message* message, void*, sd_bus_error*) noexcept
{
    int sleeping = 0;
    const int r = sd_bus_message_read(message, "b", &sleeping);
    if (r < 0) {
        log_error(log_line::sleep_read_failed_format, log_source_name, log_line::sleep_read_failed,
                  std::strerror(-r));
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
