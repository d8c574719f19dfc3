// A private dbus-daemon for the rig, so that nothing talks to the host's buses.
#pragma once

#include "child_process.h"
#include "status.h"

#include <string>

namespace rig {

inline constexpr const char* dbus_daemon_program = "/usr/bin/dbus-daemon";

struct PrivateBus {
    ChildProcess daemon;
    std::string address; // "unix:path=<dir>/bus,guid=..."
};

// session: everyone may own any name and call anyone, as on a user bus.
// system: the system bus's own configuration and policies as the
// distribution ships them: every user may connect and send signals and
// replies, only root owns names, and a method call needs a policy that
// allows it. The daemon stays the user who started it either way.
// system_without_name_owner: the system bus, where a mandatory rule refuses
// GetNameOwner to everyone, as a locked-down bus may.
enum class BusPolicy { session, system, system_without_name_owner };

// Writes a bus configuration into `dir` and starts a dbus-daemon listening
// on unix:path=<dir>/bus; returns once it has printed its address or fails
// at the deadline. The daemon is killed and reaped when `out` goes out of scope.
Status start_private_bus(
    const std::string& dir, Deadline deadline, PrivateBus& out, BusPolicy policy = BusPolicy::session);

} // namespace rig
