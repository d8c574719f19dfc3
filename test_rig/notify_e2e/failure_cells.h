// One cell of the failure tables: the host run on the FIFO with one call
// failed (by strace's options or the preload's environment), what came of
// it, and the oracles that judge it.
#pragma once

#include "notify_e2e/failure_stack.h"
#include "notify_e2e/rig.h"
#include "notify_e2e/syslog.h"

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace e2e {

struct CellRun {
    pid_t pid = -1; // the host's
    std::vector<std::string> output; // the host's lines
    std::optional<int> exit_status;
    std::vector<Logged> lines;
    std::vector<std::string> summaries;
};

// The host on the FIFO with its monitor subscribed, fed three keys and a
// repeat; `strace` (its options but -p), when given, is attached to the
// reader's thread alone once it waits for records.
rig::Status run_cell(
    Rig& rig, const std::vector<std::string>& environment, const std::vector<std::string>& strace, CellRun& out);

// One oracle for every cell of run_cell: `step` failed with `error`, or
// nothing failed.
void judge(const CellRun& run, Step step, int error);

// The host with strace (its options but -f -p) following every thread from
// before the monitor starts, until the monitor waits for signals with no
// time limit or has ended. No record is fed.
rig::Status run_monitor_cell(Rig& rig, const std::vector<std::string>& strace, CellRun& out);

// The descriptors that the monitor's connection to the system bus holds:
// its socket, and the bus's pidfd where this libsystemd takes one. Measured
// once, from a host run in which nothing fails; 0 if that run went wrong.
int monitor_descriptors();

// Whether a line the monitor logged fits a failure at `step`.
bool monitor_line_fits(const Logged& line, MonitorStep step);

} // namespace e2e
