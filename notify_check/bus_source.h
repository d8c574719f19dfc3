// Where sd-bus takes a bus's address from, for lines that say which bus a
// check reached or failed to reach.
#pragma once

#include <string>

struct BusSource {
    std::string address; // empty when there is nowhere to take one from
    std::string origin; // "DBUS_SESSION_BUS_ADDRESS", ...

    // "unix:path=/run/user/1000/bus from XDG_RUNTIME_DIR"
    std::string describe() const;
};

BusSource user_bus_source();
BusSource system_bus_source();
