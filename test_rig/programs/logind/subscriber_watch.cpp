#include "subscriber_watch.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace rig {
namespace {

bool asks_for_prepare_for_sleep(sd_bus_message* m)
{
    if (!sd_bus_message_is_method_call(m, "org.freedesktop.DBus", "AddMatch"))
        return false;
    const char* rule = nullptr;
    return sd_bus_message_read(m, "s", &rule) >= 0 && std::strstr(rule, "member='PrepareForSleep'");
}

} // namespace

int open_subscriber_watch(FlushingBusConnection& out)
{
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    if (!address)
        return -ENOENT;
    sd_bus* raw = nullptr;
    int r = sd_bus_new(&raw);
    FlushingBusConnection bus(raw);
    if (r < 0 || (r = sd_bus_set_address(bus.get(), address)) < 0 || (r = sd_bus_set_monitor(bus.get(), 1)) < 0
        || (r = sd_bus_set_bus_client(bus.get(), 1)) < 0 || (r = sd_bus_start(bus.get())) < 0)
        return r;
    BusError error;
    r = sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus.Monitoring", "BecomeMonitor", &error.error, nullptr, "asu", 1,
        "type='method_call',interface='org.freedesktop.DBus',member='AddMatch'", 0u);
    if (r < 0)
        return r;
    out = std::move(bus);
    return 0;
}

int wait_for_subscriber(sd_bus* watch, std::string* subscriber)
{
    for (;;) {
        sd_bus_message* raw = nullptr;
        const int r = sd_bus_process(watch, &raw);
        BusMessage m(raw);
        if (r < 0)
            return r;
        if (m && asks_for_prepare_for_sleep(m.get())) {
            if (subscriber)
                *subscriber = sd_bus_message_get_sender(m.get());
            return 0;
        }
        if (r > 0)
            continue;
        if (const int w = sd_bus_wait(watch, UINT64_MAX); w < 0 && w != -EINTR)
            return w;
    }
}

} // namespace rig
