// Reading the stack of a call failed in a running host (strace -k, or the
// allocation preload's backtrace) to tell which step of the plug-in it
// belongs to: the step decides the line the plug-in may log.
#pragma once

#include "file_text.h"

#include <string>
#include <vector>

namespace e2e {

using rig::lines_of;

// Why the failure tables cannot run, or empty. The steps are told by the
// plug-in's own function names, which a stripped build (the installed
// package's) keeps none of.
std::string failure_tables_unavailable();

// The reader's steps; `call` is strace's line of a system call, or empty.
enum class Step { none, open, monitor_start, read, user_bus, notify, release, other };
Step step_of(const std::string& call, const std::string& stack);

// Whether the allocation that the preload's stack shows failing was the
// dynamic loader's own, which no caller can do without.
bool failed_for_the_loader(const std::string& stack);

// The sleep monitor's steps.
enum class MonitorStep { none, connect, subscribe, process, wait, release };
MonitorStep monitor_step_of(const std::string& stack);

// Why a host's reader cannot be cancelled under test here, or empty.
std::string cancellation_unavailable();

} // namespace e2e
