#include "bus_source.h"
#include "checks.h"
#include "error_text.h"

CheckResult check_user_bus(BusConnection& bus)
{
    const BusSource source = user_bus_source();
    if (source.address.empty() && source.origin.empty())
        return {Verdict::fail, "user bus",
            "neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set; run this check in the desktop session of "
            "the user the host runs as"};
    // A set variable wins even when empty, and sd-bus refuses that address.
    if (source.address.empty())
        return {Verdict::fail, "user bus",
            source.origin
                + " is empty, and the bus library then looks nowhere else; run this check in the desktop session of "
                  "the user the host runs as"};
    sd_bus* raw = nullptr;
    const int r = sd_bus_open_user(&raw);
    if (r < 0)
        return {Verdict::fail, "user bus",
            "cannot connect to " + source.describe() + ": " + error_text(-r)
                + "; run this check in the desktop session of the user the host runs as"};
    bus.reset(raw);
    return {Verdict::ok, "user bus", "connected to " + source.describe()};
}
