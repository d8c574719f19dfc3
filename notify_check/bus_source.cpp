#include "bus_source.h"

#include <cstdlib>

namespace {

// NOLINTBEGIN(concurrency-mt-unsafe): the program reads its environment on one thread.
const char* variable(const char* name)
{
    return std::getenv(name);
}
// NOLINTEND(concurrency-mt-unsafe)

} // namespace

std::string BusSource::describe() const
{
    return address + " from " + origin;
}

// The order sd-bus follows: a set variable wins even when it is empty.
BusSource user_bus_source()
{
    if (const char* address = variable("DBUS_SESSION_BUS_ADDRESS"))
        return {address, "DBUS_SESSION_BUS_ADDRESS"};
    if (const char* runtime = variable("XDG_RUNTIME_DIR"))
        return {std::string("unix:path=") + runtime + "/bus", "XDG_RUNTIME_DIR"};
    return {};
}

BusSource system_bus_source()
{
    if (const char* address = variable("DBUS_SYSTEM_BUS_ADDRESS"))
        return {address, "DBUS_SYSTEM_BUS_ADDRESS"};
    return {"unix:path=/run/dbus/system_bus_socket", "the system default"};
}
