// tolvane-notify-host on the plug-in, with the rig's buses.
#pragma once

#include "child_process.h"
#include "notify_e2e/rig.h"
#include "status.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

// Starts tolvane-notify-host on the real plug-in with the rig's buses, under
// the rig's host_wrapper if it has one, in the C locale unless `environment`
// ("NAME=VALUE" sets, "NAME" removes) says otherwise. Its standard error
// goes to a file in the rig's directory.
rig::Status start_host(const Rig& rig, const std::vector<std::string>& options, bool pipe_stdin,
    rig::ChildProcess& host, const std::vector<std::string>& environment = {});

struct HostRun {
    rig::Status status; // of the rig, not of the plug-in
    pid_t pid = -1;
    int exit_status = -1;
    std::vector<std::string> output; // the host's lines
};
// Runs the host to its end; `environment` as for start_host.
HostRun run_host(
    const Rig& rig, const std::vector<std::string>& options = {}, const std::vector<std::string>& environment = {});

// Whether the host can confine itself (--confined) on this machine, as it
// says itself: `unavailable` is empty where it can, else its reason.
struct HostConfinement {
    rig::Status status; // of the rig, or an answer the host should not give
    std::string unavailable;
};
HostConfinement host_confinement();

// The plug-in writes to the system log only; whatever reached a host's
// standard error (a line meant for the log, a sanitizer's report) is a
// fault. A rig keeps, as it goes, the start of every such text in the
// directory it removes; this hands over all kept so far, each as "FILE:
// TEXT", and forgets them.
void keep_host_stderr(const std::string& rig_dir);
std::vector<std::string> take_host_stderr();

} // namespace e2e
