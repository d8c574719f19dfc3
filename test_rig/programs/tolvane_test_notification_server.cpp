// tolvane-test-notification-server: a desktop notification server for the
// rig. It owns "org.freedesktop.Notifications" on the bus named by
// DBUS_SESSION_BUS_ADDRESS, serves Notify of "org.orbisk.ovx.Notification1"
// at "/org/freedesktop/Notifications", records every call as one line, and
// then answers, answers with an error, vanishes, never answers, or answers
// without an id (bare), as told, after --delay milliseconds (none by
// default). With --interface it serves Notify under another interface
// instead, as a notification server of another desktop would; --method,
// --signature and --path serve it under another name, with other input
// arguments or at another object. --introspect says how Introspect of the
// object is answered: as sd-bus answers it, with an error with or without a
// message, with no description, or as sd-bus does once the server has let
// go of its name. --title hides the executable (the process is made
// undumpable) and writes TEXT over the command line, as programs that set
// their own title do; an empty TEXT leaves only the process's name.
//
//   tolvane-test-notification-server [--record FILE] [--pretty]
//                                    [--mode answer|fail|vanish|silent|bare]
//                                    [--delay MS] [--interface NAME]
//                                    [--method NAME] [--signature SIG]
//                                    [--path PATH] [--title TEXT]
//                                    [--introspect answer|fail|unexplained|empty|drop]
//
// It prints "ready" on standard output once it owns the name.
#include "bus_handles.h"
#include "recorded_call.h"

#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace {

constexpr const char* service_name = "org.freedesktop.Notifications";
constexpr const char* object_path = "/org/freedesktop/Notifications";
constexpr const char* default_interface = "org.orbisk.ovx.Notification1";
constexpr const char* failure_message = "the test notification server refuses this notification";
constexpr const char* refusal_error = "org.orbisk.Test.Error.Refused";

enum class Mode { answer, fail, vanish, silent, bare };
enum class Introspect { answer, fail, unexplained, empty, drop };

struct Server {
    Mode mode = Mode::answer;
    bool pretty = false;
    FILE* record = nullptr; // owned by main
    std::uint32_t last_id = 0;
    bool vanish_now = false;
    long delay_ms = 0;
    Introspect introspect = Introspect::answer;
};

// A server that takes its time, as a busy desktop's does.
void take(long ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1'000'000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) { }
}

int read_string(sd_bus_message* m, std::string& out)
{
    const char* s = nullptr;
    const int r = sd_bus_message_read_basic(m, 's', &s);
    if (r >= 0)
        out = s;
    return r;
}

// The value of one hint variant, whose contents have the given signature.
int read_variant_value(sd_bus_message* m, const char* contents, std::string& out)
{
    const char type = contents[0];
    if (contents[1] == '\0' && (type == 's' || type == 'o' || type == 'g')) {
        const char* s = nullptr;
        const int r = sd_bus_message_read_basic(m, type, &s);
        if (r >= 0)
            out = s;
        return r;
    }
    if (std::string_view(contents) == "i") {
        std::int32_t v = 0;
        const int r = sd_bus_message_read_basic(m, 'i', &v);
        out = std::to_string(v);
        return r;
    }
    if (std::string_view(contents) == "u") {
        std::uint32_t v = 0;
        const int r = sd_bus_message_read_basic(m, 'u', &v);
        out = std::to_string(v);
        return r;
    }
    if (std::string_view(contents) == "b") {
        int v = 0;
        const int r = sd_bus_message_read_basic(m, 'b', &v);
        out = v ? "true" : "false";
        return r;
    }
    out = "?";
    return sd_bus_message_skip(m, contents);
}

int read_hints(sd_bus_message* m, std::vector<rig::NotifyHint>& hints)
{
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        rig::NotifyHint hint;
        if ((r = read_string(m, hint.key)) < 0)
            return r;
        char type = 0;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0)
            return r;
        if ((r = sd_bus_message_enter_container(m, 'v', contents)) < 0)
            return r;
        hint.signature = contents;
        if ((r = read_variant_value(m, contents, hint.value)) < 0)
            return r;
        if ((r = sd_bus_message_exit_container(m)) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
            return r;
        hints.push_back(std::move(hint));
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int read_notify_call(sd_bus_message* m, rig::RecordedCall& call)
{
    int r;
    if ((r = read_string(m, call.app_name)) < 0 || (r = sd_bus_message_read_basic(m, 'u', &call.replaces_id)) < 0
        || (r = read_string(m, call.app_icon)) < 0 || (r = read_string(m, call.summary)) < 0
        || (r = read_string(m, call.body)) < 0)
        return r;
    if ((r = sd_bus_message_enter_container(m, 'a', "s")) < 0)
        return r;
    const char* action = nullptr;
    while ((r = sd_bus_message_read_basic(m, 's', &action)) > 0)
        call.actions.emplace_back(action);
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    if ((r = read_hints(m, call.hints)) < 0)
        return r;
    return sd_bus_message_read_basic(m, 'i', &call.expire_timeout);
}

// The notification as a user would see it: who sent it, summary, body and
// each button with the command a click would run.
void print_pretty(const rig::RecordedCall& call, std::uint32_t id)
{
    std::printf("+-- notification %u from \"%s\"\n", id, call.app_name.c_str());
    std::printf("|  %s\n", call.summary.c_str());
    std::printf("|  %s\n", call.body.c_str());
    for (size_t i = 0; i + 1 < call.actions.size(); i += 2) {
        std::string command = "(no command)";
        for (const auto& h : call.hints)
            if (h.key == "x-orbisk-action-" + call.actions[i]) {
                command = h.value;
                for (char& c : command)
                    if (c == ',')
                        c = ' ';
            }
        std::printf("|  [ %s ]  click runs: %s\n", call.actions[i + 1].c_str(), command.c_str());
    }
    std::printf("+--\n");
    std::fflush(stdout);
}

// Called for Notify only: the bus checks the signature against the vtable.
int on_notify(sd_bus_message* m, void* userdata, sd_bus_error* error) noexcept
{
    auto& server = *static_cast<Server*>(userdata);
    try {
        rig::RecordedCall call;
        if (const int r = read_notify_call(m, call); r < 0)
            return sd_bus_error_set_errno(error, r);
        const std::uint32_t id = ++server.last_id;
        if (server.record) {
            std::fprintf(server.record, "%s\n", rig::format_recorded_call(call).c_str());
            std::fflush(server.record);
        }
        if (server.pretty)
            print_pretty(call, id);
        take(server.delay_ms);
        switch (server.mode) {
        case Mode::answer:
            return sd_bus_reply_method_return(m, "u", id);
        case Mode::fail:
            // As an sd-bus server refuses with EPERM: the caller's call then
            // fails with -1, the smallest error there is.
            return sd_bus_error_set(error, "System.Error.EPERM", failure_message);
        case Mode::vanish:
            server.vanish_now = true;
            return 1;
        case Mode::silent:
            return 1; // no reply: the caller's call times out
        case Mode::bare:
            return sd_bus_reply_method_return(m, nullptr);
        }
    } catch (...) {
        return sd_bus_error_set_errno(error, -ENOMEM);
    }
    return 0;
}

// Sees Introspect of the notifications object before sd-bus answers it.
int on_message(sd_bus_message* m, void* userdata, sd_bus_error* /*error*/) noexcept
{
    auto& server = *static_cast<Server*>(userdata);
    if (!sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Introspectable", "Introspect")
        || std::string_view(sd_bus_message_get_path(m)) != object_path)
        return 0;
    switch (server.introspect) {
    case Introspect::answer:
        return 0;
    case Introspect::fail:
        return sd_bus_reply_method_errorf(m, refusal_error, "the test notification server refuses introspection");
    case Introspect::unexplained: {
        const sd_bus_error bare = SD_BUS_ERROR_MAKE_CONST(refusal_error, nullptr);
        return sd_bus_reply_method_error(m, &bare);
    }
    case Introspect::empty:
        return sd_bus_reply_method_return(m, nullptr);
    case Introspect::drop:
        // Queued before sd-bus's answer, so the bus has handled it by the
        // time the caller reads that answer.
        server.introspect = Introspect::answer;
        if (const int r = sd_bus_release_name_async(sd_bus_message_get_bus(m), nullptr, service_name, nullptr, nullptr);
            r < 0)
            return r;
        return 0;
    }
    return 0;
}

int usage()
{
    std::fprintf(stderr,
        "usage: tolvane-test-notification-server [--record FILE] [--pretty] [--mode answer|fail|vanish|silent|bare] "
        "[--delay MS] [--interface NAME] [--method NAME] [--signature SIG] [--path PATH] [--title TEXT] "
        "[--introspect answer|fail|unexplained|empty|drop]\n");
    return 2;
}

// What `ps` and /proc show of the process: its executable hidden, its
// command line overwritten with `title` (NULs after it).
void take_title(int argc, char** argv, const std::string& title)
{
    (void)::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    char* const start = argv[0];
    char* const end = argv[argc - 1] + std::strlen(argv[argc - 1]);
    std::memset(start, 0, static_cast<size_t>(end - start));
    std::memcpy(start, title.data(), std::min(title.size(), static_cast<size_t>(end - start)));
}

struct FileCloser {
    void operator()(FILE* f) const noexcept { std::fclose(f); }
};

} // namespace

int main(int argc, char** argv)
{
    Server server;
    std::string interface_name = default_interface;
    std::string method = "Notify";
    std::string signature = "susssasa{sv}i";
    std::string path = object_path;
    std::optional<std::string> title;
    std::unique_ptr<FILE, FileCloser> record;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--pretty") {
            server.pretty = true;
        } else if (arg == "--record" && i + 1 < argc) {
            record.reset(std::fopen(argv[++i], "ae"));
            if (!record) {
                std::fprintf(stderr, "cannot open %s: %s\n", argv[i], std::strerror(errno));
                return 1;
            }
            server.record = record.get();
        } else if (arg == "--interface" && i + 1 < argc) {
            interface_name = argv[++i];
        } else if (arg == "--mode" && i + 1 < argc) {
            const std::string_view mode = argv[++i];
            if (mode == "answer")
                server.mode = Mode::answer;
            else if (mode == "fail")
                server.mode = Mode::fail;
            else if (mode == "vanish")
                server.mode = Mode::vanish;
            else if (mode == "silent")
                server.mode = Mode::silent;
            else if (mode == "bare")
                server.mode = Mode::bare;
            else
                return usage();
        } else if (arg == "--introspect" && i + 1 < argc) {
            const std::string_view answer = argv[++i];
            if (answer == "answer")
                server.introspect = Introspect::answer;
            else if (answer == "fail")
                server.introspect = Introspect::fail;
            else if (answer == "unexplained")
                server.introspect = Introspect::unexplained;
            else if (answer == "empty")
                server.introspect = Introspect::empty;
            else if (answer == "drop")
                server.introspect = Introspect::drop;
            else
                return usage();
        } else if (arg == "--method" && i + 1 < argc) {
            method = argv[++i];
        } else if (arg == "--signature" && i + 1 < argc) {
            signature = argv[++i];
        } else if (arg == "--path" && i + 1 < argc) {
            path = argv[++i];
        } else if (arg == "--title" && i + 1 < argc) {
            title = argv[++i];
        } else if (arg == "--delay" && i + 1 < argc) {
            server.delay_ms = std::strtol(argv[++i], nullptr, 10);
        } else {
            return usage();
        }
    }

    if (title)
        take_title(argc, argv, *title);
    // Listed in the object's introspection data, where clients look for it.
    // sd-bus holds each reply to the result signature declared here.
    const char* result = server.mode == Mode::bare ? "" : "u";
    const sd_bus_vtable notify_vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD(method.c_str(), signature.c_str(), result, on_notify, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END,
    };

    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    FlushingBusConnection bus(raw);
    if (r < 0) {
        std::fprintf(stderr, "cannot connect to the user bus: %s\n", std::strerror(-r));
        return 1;
    }
    if ((r = sd_bus_add_filter(bus.get(), nullptr, on_message, &server)) < 0
        || (r = sd_bus_add_object_vtable(
                bus.get(), nullptr, path.c_str(), interface_name.c_str(), notify_vtable, &server))
            < 0
        || (r = sd_bus_request_name(bus.get(), service_name, 0)) < 0) {
        std::fprintf(stderr, "cannot serve %s: %s\n", service_name, std::strerror(-r));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        r = sd_bus_process(bus.get(), nullptr);
        if (r < 0) {
            std::fprintf(stderr, "cannot process the bus: %s\n", std::strerror(-r));
            return 1;
        }
        if (server.vanish_now) {
            // Dropping the connection makes the bus answer the caller at once
            // with a "no reply" error, instead of leaving it to time out.
            bus.reset();
            return 0;
        }
        if (r > 0)
            continue;
        r = sd_bus_wait(bus.get(), UINT64_MAX);
        if (r < 0 && r != -EINTR) {
            std::fprintf(stderr, "cannot wait on the bus: %s\n", std::strerror(-r));
            return 1;
        }
    }
}
