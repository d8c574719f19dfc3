#include "checks.h"
#include "desktop_notification.h"
#include "error_text.h"

#include <cstdint>
#include <string>

namespace {

const std::string subject = "test notification";

// Marked as a test wherever the notification is shown; the path only picks
// the privacy page the button opens.
constexpr char test_program[] = "tolvane-notify-check (test notification)";
constexpr char test_object[] = "/home/test/Documents";

} // namespace

// Exactly what a blocked access would send, through the plug-in's own
// texts and call; the host's rate limit is not involved.
CheckResult send_test_notification()
{
    const NotificationTexts texts = build_notification_texts(EventKind::files_and_folders, test_program, test_object);
    BusConnection bus;
    BusMessage reply;
    BusError error;
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    if (r < 0)
        return {Verdict::fail, subject,
            std::string("cannot connect to the user bus: ") + error_text(-r) + "; see the user bus line"};
    bus.reset(raw);
    r = call_notify(bus.get(), texts, error, reply);
    if (r < 0)
        return {Verdict::fail, subject,
            std::string("Notify failed: ") + (error.error.name ? error.error.name : "error") + ": "
                + (error.error.message ? error.error.message : error_text(-r)) + "; see the notification server line"};
    std::uint32_t id = 0;
    if (sd_bus_message_read(reply.get(), "u", &id) < 0)
        return {Verdict::ok, subject, "sent \"" + texts.summary + "\"; the server answered without an id"};
    return {Verdict::ok, subject,
        "sent \"" + texts.summary + "\"; the server answered with notification id " + std::to_string(id)};
}
