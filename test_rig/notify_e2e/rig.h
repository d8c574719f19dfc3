// The end-to-end rig for the notification plug-in: a private user bus with
// the test notification server, a private system bus for the sleep monitor,
// the notification file's directory and a /dev/log socket read by the test.
// The plug-in itself runs in tolvane-notify-host (host.h).
#pragma once

#include "child_process.h"
#include "private_bus.h"
#include "status.h"
#include "unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// Generous: only a hung plug-in or rig ever waits this long.
inline constexpr auto patience = 60s;

// answer, fail, vanish: the test server serves the plug-in's interface and
// answers as named; slow: it answers after 1.5 s; silent: it never answers;
// standard: it serves Notify of the freedesktop interface only, like another
// desktop's server; none: nothing owns the name. For the check's lines:
// answer_without_id: Notify is answered with no id; other_signature: Notify
// takes no timeout; without_notify: the interface has no Notify;
// elsewhere: the object is one level down; introspect_error,
// introspect_unexplained (no message), introspect_empty (no description):
// how Introspect is answered; drop_name: the name is let go as Introspect
// is answered; titled, untitled: the executable hidden and the command line
// replaced, or left empty.
enum class ServerMode {
    answer,
    fail,
    vanish,
    slow,
    silent,
    standard,
    none,
    answer_without_id,
    other_signature,
    without_notify,
    elsewhere,
    introspect_error,
    introspect_unexplained,
    introspect_empty,
    drop_name,
    titled,
    untitled,
};
enum class UserBus { present, missing };

struct Rig {
    std::string dir;
    rig::PrivateBus user_bus;
    rig::PrivateBus system_bus;
    rig::ChildProcess server;
    rig::unique_fd log;
    std::string calls_path;
    std::string user_bus_address; // what the host is given
    std::string system_bus_address; // what the host is given
    std::vector<std::string> host_wrapper; // runs the host, e.g. under valgrind
    std::string plugin; // the plug-in the host loads; the shipped build when empty

    Rig() = default;
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    // Ends the buses and the server and removes the directory; what the
    // hosts wrote on standard error is kept for hosts_wrote_no_stderr().
    ~Rig();
};

// Starts the buses and the server, binds a fresh /dev/log and removes the
// notification file.
rig::Status start_rig(Rig& rig, ServerMode mode = ServerMode::answer, UserBus user_bus = UserBus::present);
// Starts the user bus, with the server as `mode` says, where a rig started
// with UserBus::missing has none yet: at the address its hosts were given.
rig::Status start_user_bus(Rig& rig, ServerMode mode = ServerMode::answer);

// A directory of the rig with exactly these permissions.
rig::Status make_directory(const std::string& path, mode_t mode);

} // namespace e2e
