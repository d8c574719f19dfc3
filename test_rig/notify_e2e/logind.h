// logind on the rig's system bus: the stand-in (tolvane-test-logind), the
// real systemd-logind (tolvane-real-logind), and the spoofer any user could
// be.
#pragma once

#include "child_process.h"
#include "notify_e2e/rig.h"
#include "status.h"

#include <string>

namespace e2e {

struct Logind {
    rig::ChildProcess process;

    // Sends the space-separated commands one after the other, each once the
    // bus has routed the one before. "bad" is a PrepareForSleep without a
    // boolean, which the handler refuses with a log line; the monitor
    // handles signals in order, so that line also tells that every signal
    // before it has been handled (the pause after a resume runs on).
    rig::Status send(const std::string& commands, rig::Deadline deadline);
};

// The stand-in on the rig's system bus. Start it before the host: it must
// watch the bus before the monitor subscribes.
rig::Status start_logind(const Rig& rig, Logind& out, rig::Deadline deadline);
// The real one (which takes "suspend"/"resume" where the stand-in takes
// "true"/"false") on a system bus of its own, which becomes the rig's.
rig::Status start_real_logind(Rig& rig, Logind& out, rig::Deadline deadline);
// Waits until the host's monitor has subscribed to PrepareForSleep.
rig::Status wait_subscribed(Logind& logind, rig::Deadline deadline);

// Whether the real one can run here: it must be installed, and it and its
// system bus need root with a whole system's user ids (the host's, or a
// container's), not the one user of a user namespace. Where it ends on
// start for want of a cgroup hierarchy, start_real_logind() says so in an
// unavailable_here status.
rig::Status real_logind_available();

// Whether a program can run here as another, unprivileged user (nobody,
// 65534).
inline constexpr const char* setpriv_program = "/usr/bin/setpriv";
rig::Status other_user_available();
// Runs tolvane-test-sleep-spoofer as nobody on the rig's system bus: every
// connection there gets a unicast PrepareForSleep(sleeping). Returns once
// the bus has routed them all.
rig::Status spoof_sleep(const Rig& rig, bool sleeping, rig::Deadline deadline);

} // namespace e2e
