// What strace wrote of a running host, and what it is told to fail.
#pragma once

#include "file_text.h"

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace e2e {

using rig::file_text;

// The errors each system call is failed with; EINTR where a wait must go on.
std::vector<int> errors_for(const std::string& name);

// The plug-in's system calls in a trace (strace -k) of a run without
// faults, by name: those with one of its frames on their stack; not close.
std::map<std::string, int> plugin_calls(const std::string& trace);

// The call strace failed and its stack; empty when it failed none.
std::pair<std::string, std::string> injected_call(const std::string& trace);

// The host's ASAN_OPTIONS under ptrace, where the leak check cannot run.
std::string ptrace_asan_options();

// What strace -ff wrote of each thread into PREFIX.TID, but the reader's.
std::vector<std::string> monitor_traces(const std::string& prefix, pid_t reader);

} // namespace e2e
