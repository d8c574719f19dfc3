#include "desktop_notification.h"

#include "bus_handles.h"
#include "bus_names.h"
#include "clock.h"
#include "plugin_log.h"
#include "translation.h"
#include "utf8_repair.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

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

namespace {

// What the answer to the call brought: set by the reply callback, which sd-bus
// also calls with an error of its own making when the call times out or the
// connection ends first.
struct Answer {
    bool arrived;
    int r;
    BusError& error;
    BusMessage& reply;
};

int on_answer(sd_bus_message* message, void* userdata, sd_bus_error*) noexcept
{
    Answer& answer = *static_cast<Answer*>(userdata);
    answer.arrived = true;
    if (const sd_bus_error* error = sd_bus_message_get_error(message)) {
        // The errno that the error's name stands for, as a synchronous call
        // returns it.
        answer.r = sd_bus_error_copy(&answer.error.error, error);
        return 0;
    }
    answer.reply.reset(sd_bus_message_ref(message));
    answer.r = 1;
    return 0;
}

struct SlotUnref {
    void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
using BusSlot = std::unique_ptr<sd_bus_slot, SlotUnref>;

// sd-bus counts its timeouts in microseconds of CLOCK_MONOTONIC.
std::uint64_t monotonic_usec()
{
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(monotonic_now()).count());
}

// What sd-bus says of a call whose time has run out. Its own count starts
// late on a new connection, so the deadline below runs out first: it says
// the same, in the same words.
int time_ran_out(BusError& error)
{
    return sd_bus_error_set_const(&error.error, SD_BUS_ERROR_NO_REPLY, "Method call timed out");
}

// The host's thread takes the host's signals: a wait they interrupt is
// waited again, for the same answer, until the same deadline. The call went
// out once and is never sent again.
int wait_for_answer(sd_bus* bus, const Answer& answer, std::uint64_t deadline)
{
    for (;;) {
        int r = sd_bus_process(bus, nullptr);
        if (answer.arrived)
            return answer.r;
        if (r < 0)
            return r;
        // Checked even while there is more to process: messages that keep
        // coming must not hold the reader past its deadline.
        const std::uint64_t now = monotonic_usec();
        if (now >= deadline)
            return time_ran_out(answer.error);
        if (r > 0)
            continue;
        r = sd_bus_wait(bus, deadline == UINT64_MAX ? UINT64_MAX : deadline - now);
        if (r < 0 && r != -EINTR)
            return r;
    }
}

int make_notify_call(sd_bus* bus, const NotificationTexts& texts, BusMessage& call)
{
    const char* app_name = translate("preferences-system");
    const char* body = translate("Go to Control Center > Privacy and Security, and allow its access.");
    const char* button_label = translate("Go to Settings");

    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_call(bus, &raw, bus_names::notifications_service, bus_names::notifications_path,
        bus_names::notifications_interface, bus_names::notify_method);
    call.reset(raw);
    if (r < 0)
        return r;
    // One line per argument group of the signature.
    // clang-format off
    return sd_bus_message_append(call.get(), bus_names::notify_signature,
                                 app_name, UINT32_C(0), "", texts.summary.c_str(), body,
                                 2u, action_key, button_label,
                                 1u, action_hint_key, "s", texts.action_command.c_str(),
                                 INT32_C(-1));
    // clang-format on
}

} // namespace

int call_notify(sd_bus* bus, const NotificationTexts& texts, BusError& error, BusMessage& reply)
{
    const std::uint64_t begun = monotonic_usec();
    BusMessage call;
    int r = make_notify_call(bus, texts, call);
    if (r < 0)
        return r;
    // The library's method-call timeout (SYSTEMD_BUS_TIMEOUT, else 25 s),
    // the one sd_bus_call_async also takes for 0, bounds the whole exchange.
    // On a connection that is still in its handshake sd-bus starts counting
    // it only once the handshake is over: alone, it could let the reader
    // wait for the handshake and then the whole timeout again.
    std::uint64_t timeout = 0;
    r = sd_bus_get_method_call_timeout(bus, &timeout);
    if (r < 0)
        return r;
    const std::uint64_t deadline = timeout > UINT64_MAX - begun ? UINT64_MAX : begun + timeout;
    Answer answer{false, 0, error, reply};
    sd_bus_slot* raw_slot = nullptr;
    r = sd_bus_call_async(bus, &raw_slot, call.get(), on_answer, &answer, timeout);
    // Released before the answer it writes to.
    const BusSlot slot(raw_slot);
    if (r < 0)
        return r;
    return wait_for_answer(bus, answer, deadline);
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
    if (r < 0)
        return log_error_errno(r, log_line::user_bus_failed, ErrorText(-r).text);
    bus.reset(raw_bus);

    r = call_notify(bus.get(), texts, error, reply);
    if (r < 0) {
        const ErrorText fallback(-r);
        return log_error_errno(r, log_line::notify_failed, error.error.message ? error.error.message : fallback.text);
    }
    return r;
}
