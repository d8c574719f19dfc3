#include "desktop_notification.h"

#include "bus_handles.h"
#include "bus_names.h"
#include "plugin_log.h"
#include "translation.h"
#include "utf8_repair.h"

#include <cstdint>
#include <cstring>
#include <string_view>

SendNotificationFn send_notification_step = send_blocked_notification;

namespace {

constexpr char show_page_command[]
    = "qdbus,org.orbisk.ovx.ControlCenter1,/org/orbisk/ovx/ControlCenter1,org.orbisk.ovx.ControlCenter1.ShowPage,";
static_assert(sizeof show_page_command - 1 == 106);

constexpr char action_key[] = "_open1";
constexpr char action_hint_key[] = "x-orbisk-action-_open1";

// The page follows the object path itself, like the event kind does.
const char* privacy_page(const char* object_path)
{
    return is_camera_path(object_path) ? "privacy,camera" : "privacy,filefolder";
}

const char* kind_message(EventKind kind)
{
    return kind == EventKind::camera ? translate(" has been blocked from using the camera")
                                     : translate(" has been blocked from accessing the files and folders");
}

} // namespace

NotificationTexts build_notification_texts(EventKind kind, const char* program_text, const char* object_path)
{
    std::string summary = program_text;
    summary += kind_message(kind);
    std::string command = show_page_command;
    command += privacy_page(object_path);
    // The program text is whatever bytes the kernel recorded; sd-bus refuses
    // a string argument that is not UTF-8, which would lose the whole call.
    return {repair_utf8(summary), std::move(command)};
}

int call_notify(sd_bus* bus, const NotificationTexts& texts, BusError& error, BusMessage& reply)
{
    const char* app_name = translate("preferences-system");
    const char* body = translate("Go to Control Center > Privacy and Security, and allow its access.");
    const char* button_label = translate("Go to Settings");

    sd_bus_message* raw_reply = nullptr;
    // One line per argument group of the signature.
    // clang-format off
    const int r = sd_bus_call_method(bus, bus_names::notifications_service, bus_names::notifications_path,
                                     bus_names::notifications_interface, bus_names::notify_method, &error.error,
                                     &raw_reply, bus_names::notify_signature,
                                     app_name, UINT32_C(0), "", texts.summary.c_str(), body,
                                     2u, action_key, button_label,
                                     1u, action_hint_key, "s", texts.action_command.c_str(),
                                     INT32_C(-1));
    // clang-format on
    reply.reset(raw_reply);
    return r;
}

int send_blocked_notification(EventKind kind, const char* program_text, const char* object_path)
{
    const NotificationTexts texts = build_notification_texts(kind, program_text, object_path);

    // Declared in the reverse of the release order: the error record goes
    // first, then the reply, then the connection.
    BusConnection bus;
    BusMessage reply;
    BusError error;

    sd_bus* raw_bus = nullptr;
    int r = sd_bus_open_user(&raw_bus);
    if (r < 0) {
        log_error(log_line::user_bus_failed_format, log_source_name, log_line::user_bus_failed, ErrorText(-r).text);
        return r;
    }
    bus.reset(raw_bus);

    r = call_notify(bus.get(), texts, error, reply);
    if (r < 0) {
        const ErrorText fallback(-r);
        const char* why = error.error.message ? error.error.message : fallback.text;
        log_error(log_line::notify_failed_format, log_source_name, log_line::notify_failed, why);
    }
    return r;
}
