// tv-mkprofile under strace: the calls it makes, one line each with the
// paths of its descriptors and whole strings, and the faults strace puts in
// (`-e inject=`), which only the kernel could otherwise cause.
#pragma once

#include "mkprofile/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rig {

struct TracedRun {
    MkprofileOutcome outcome;
    std::string trace;
};

// Options for a run under strace: LeakSanitizer cannot work under ptrace,
// so a sanitized run there looks for no leaks (the runs without strace do).
SpawnOptions options_under_ptrace();

// Runs tv-mkprofile with `args` under strace with `strace_args`: its
// filters and injections, and any program that strace starts it through
// (prlimit, a shell), with the variables `environment` set for what strace
// starts alone (strace -E), so that a preloaded library stays out of
// strace; strace itself started through `before` (unshare, for a PID
// namespace of its own). Through an emulator, which takes the loader's
// variables on its command line, every program has them.
TracedRun run_mkprofile_traced(const std::vector<std::string>& args, const std::vector<std::string>& strace_args,
    const std::vector<std::string>& environment = {}, const std::vector<std::string>& before = {});

// A call of a trace: the system call's name and a part of its line that
// tells it from the others of that name. The name may list the system calls
// that C libraries make for one function, "newfstatat|statx".
struct TracedCall {
    std::string name;
    std::string part;
};

// `call` with the one name among its own that the first call that matches
// has in `trace`; as it was when none matches.
TracedCall as_made_in(const std::string& trace, const TracedCall& call);

// Which one of its name the first call that matches is, counted as
// strace's `when=` counts (1 for the first); 0 when no call matches.
int occurrence(const std::string& trace, const TracedCall& call);

// How many calls named `name` come before the first call that matches
// `mark`; all of them when none matches.
int calls_before(const std::string& trace, const std::string& name, const TracedCall& mark);

// The number of the line of the first call that matches; -1 when none.
long position(const std::string& trace, const TracedCall& call);

// Whether a call that matches returned something else than -1.
bool succeeded(const std::string& trace, const TracedCall& call);

// Whether strace tampered with a call that matches: it injected the call's
// result, or the signal it injected arrived as the call began.
testing::AssertionResult tampered_with(const std::string& trace, const TracedCall& call);

// The signal that ended the traced program ("SIGKILL"); empty when it exited.
std::string killed_by(const std::string& trace);

} // namespace rig
