// A private dbus-daemon for the rig, so that nothing talks to the host's buses.
#pragma once

#include "child_process.h"

#include <string>

namespace rig {

struct PrivateBus {
    ChildProcess daemon;
    std::string address; // "unix:path=<dir>/bus,guid=..."
};

// Writes a bus configuration into `dir` and starts a dbus-daemon listening
// on unix:path=<dir>/bus; returns once it has printed its address or fails
// at the deadline. Returns an empty string on success, else what failed.
// The daemon is killed and reaped when `out` goes out of scope.
std::string start_private_bus(const std::string& dir, Deadline deadline, PrivateBus& out);

} // namespace rig
