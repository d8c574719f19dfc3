// Watching a bus for the moment a client subscribes to logind's
// PrepareForSleep, so that signals sent afterwards are sure to reach it.
#pragma once

#include "bus_handles.h"

#include <string>

namespace rig {

// A monitor connection on the bus at DBUS_SYSTEM_BUS_ADDRESS that sees every
// AddMatch call. Returns 0 or a negative errno.
int open_subscriber_watch(FlushingBusConnection& out);

// Waits until some client asks the bus for a match on PrepareForSleep.
// Returns 0, or a negative errno when the watch fails. When `subscriber`
// is given, it receives that client's unique name.
int wait_for_subscriber(sd_bus* watch, std::string* subscriber = nullptr);

} // namespace rig
