// The host reading the notification FIFO with its sleep monitor subscribed
// to logind's PrepareForSleep, and records fed until notifications return.
#pragma once

#include "child_process.h"
#include "notify_e2e/logind.h"
#include "notify_e2e/rig.h"
#include "status.h"
#include "unique_fd.h"

#include <string_view>

namespace e2e {

// With the logind stand-in on the rig's system bus, or with the real
// systemd-logind on a system bus of its own, which becomes the rig's.
struct Subscribed {
    Logind logind;
    rig::ChildProcess host;
    rig::unique_fd fifo;
};
enum class LogindKind { stand_in, real };
rig::Status start_subscribed(Rig& rig, Subscribed& out, rig::Deadline deadline, LogindKind kind = LogindKind::stand_in);

// Feeds records for `object_path` from ever new programs, each once the one
// before has been handled, until one is notified: when the last silenced
// one was fed, and when the notified one had been handled.
struct Reappearance {
    bool seen = false; // false at the deadline
    rig::Clock::time_point last_silenced_fed;
    rig::Clock::time_point notified;
};
Reappearance feed_until_notified(const Rig& rig, Subscribed& run, std::string_view object_path, rig::Deadline deadline);

} // namespace e2e
