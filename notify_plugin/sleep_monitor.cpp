#include "sleep_monitor.h"

#include "bus_handles.h"
#include "bus_names.h"
#include "clock.h"
#include "logind_owner.h"
#include "notify_onoff.h"
#include "plugin_log.h"
#include "state_probes.h"

#include <cstdint>
#include <optional>
#include <utility>

// A test-only build of the plug-in compiles in a shorter bound, so that its
// end-to-end test need not wait a minute; the shipped one never does.
#ifndef TOLVANE_SILENCE_BOUND_SECONDS
#define TOLVANE_SILENCE_BOUND_SECONDS 60
#endif
const std::chrono::seconds silence_bound{TOLVANE_SILENCE_BOUND_SECONDS};

namespace {

using std::chrono::nanoseconds;

// Monitor thread only. Set while notifications are silenced: when the last
// true came with no false since, or when the pause after a resume ends.
struct Silence {
    std::optional<nanoseconds> asleep_since;
    std::optional<nanoseconds> shown_at;
};
Silence silence;

// A foreign sender is told of once, whatever it sends after: it could flood
// the log otherwise.
bool foreign_sender_logged = false;

// Rounded up, so that the wait never ends just short of the instant.
std::uint64_t microseconds_until(nanoseconds instant, nanoseconds now)
{
    return static_cast<std::uint64_t>(std::chrono::ceil<std::chrono::microseconds>(instant - now).count());
}

// Connected and subscribed, or a negative errno from the step that failed
// (which it has logged). The subscription has no slot of its own: it lives
// exactly as long as the connection.
int subscribe(BusConnection& bus)
{
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    if (r < 0)
        return log_error_errno(r, log_line::system_bus_failed);
    bus.reset(raw);
    // Who logind is must be known before its first signal can arrive.
    r = follow_logind_owner(bus.get());
    if (r >= 0)
        r = sd_bus_match_signal(bus.get(), nullptr, bus_names::login1_service, bus_names::login1_path,
            bus_names::login1_manager_interface, bus_names::prepare_for_sleep, on_set_notify_onoff, nullptr);
    if (r < 0)
        return log_error_errno(r, log_line::match_failed, ErrorText(-r).text);
    return 0;
}

// Handles whatever has arrived, then sleeps in the wait until more does or
// a silence runs out. Returns only when processing or waiting fails, having
// logged it.
int run_event_loop(sd_bus* bus)
{
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return log_error_errno(r, log_line::process_failed);
        if (r > 0)
            continue; // more may be queued already
        r = sd_bus_wait(bus, settle_silence());
        if (r < 0)
            return log_error_errno(r, log_line::wait_failed);
    }
}

} // namespace

void reset_silence()
{
    silence = {};
    foreign_sender_logged = false;
}

std::uint64_t settle_silence()
{
    const nanoseconds now = monitor_clock();
    if (silence.shown_at && now >= *silence.shown_at) {
        silence.shown_at.reset();
        set_notifications_enabled(1);
    }
    if (silence.asleep_since && now - *silence.asleep_since >= silence_bound) {
        silence.asleep_since.reset();
        log_info(log_line::silence_ended, static_cast<int>(silence_bound.count()));
        set_notifications_enabled(1);
    }
    if (silence.shown_at)
        return microseconds_until(*silence.shown_at, now);
    if (silence.asleep_since)
        return microseconds_until(*silence.asleep_since + silence_bound, now);
    return UINT64_MAX;
}

// Started once per process, with the silence as it was built: empty.
void* sleep_monitor_thread(void*)
{
    {
        BusConnection bus; // closed and released on every way out, once
        if (subscribe(bus) == 0)
            run_event_loop(bus.get());
    }
    // Nobody is left to end a silence: end it now. The silence itself is
    // never read again.
    set_notifications_enabled(1);
    return nullptr;
}

int on_set_notify_onoff(sd_bus_message* message, void*, sd_bus_error*) noexcept
{
    // The bus filters broadcasts by sender, but a unicast signal reaches us
    // from anyone: only logind's current owner may silence us.
    if (!sent_by_logind(message)) {
        if (!std::exchange(foreign_sender_logged, true))
            log_error(log_line::foreign_sleep_signal);
        return 0;
    }
    int sleeping = 0;
    const int r = sd_bus_message_read(message, "b", &sleeping);
    if (r < 0)
        return log_error(log_line::sleep_read_failed, ErrorText(-r).text);
    // The line goes out before the flag changes.
    log_info(log_line::sleep_signal, sleeping ? "true" : "false");
    const nanoseconds now = monitor_clock();
    if (sleeping) {
        set_notifications_enabled(0);
        silence = {now, std::nullopt};
        return 0;
    }
    // The pause runs from the last false; the event loop ends it, so that
    // signals are still handled meanwhile. A false while shown changes nothing.
    silence.asleep_since.reset();
    if (notifications_enabled() == 0)
        silence.shown_at = now + resume_grace;
    return 0;
}
