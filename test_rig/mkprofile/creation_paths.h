// The ways tv-mkprofile creates a profile, and strace's arguments that make a
// run take each one, with faults at chosen steps. Which call of its kind a
// step is comes from a run without faults: the sanitizers' runtimes and an
// emulator make calls of their own, so no count is written down.
#pragma once

#include "mkprofile/trace.h"
#include "status.h"

#include <string>
#include <vector>

namespace rig {

enum class Creation {
    unnamed, // an unnamed file, linked in when complete
    renamed, // no unnamed files: a temporary name, renamed without replacing
    linked, // nor a rename that refuses to replace: linked, then removed
    exclusive, // nor hard links: the name created exclusively, then written
};

enum class Step {
    open_directory,
    make_unnamed,
    link_unnamed,
    make_temporary,
    look_at_temporary, // the look at its name once it is locked
    create_exclusive,
    write,
    sync_file,
    close_file,
    rename,
    link,
    remove_temporary,
    sync_directory,
};

// The call that makes `step` in a run for `program` along `creation`.
TracedCall call_of(Step step, Creation creation, const std::string& program);

// What strace does at a step: "error=EIO", "signal=SIGKILL", "retval=10"...
struct Fault {
    Step step;
    std::string action;
};

// strace's arguments for a run for `program` that takes `creation`, meets
// each of `faults` at its step, and the injections `whole`
// ("unlinkat:error=EROFS:when=1", counted from the program's first step;
// "when=1+" and "when=1..3" as strace takes them).
// The counts come from runs without faults, made once for each creation and
// program in the profile directory, which they leave empty, started through
// `through` (a program that starts tv-mkprofile, such as prlimit: its own
// calls count too). The caller adds such a program itself, after the
// arguments, one that makes the same calls; and with the variables
// `environment` (a preloaded library's), which the caller's run sets too.
// Fails when a step never happens on that path, or when two injections would
// go to one system call, which strace cannot do.
Status strace_args_for(Creation creation, const std::string& program, const std::vector<Fault>& faults,
    const std::vector<std::string>& whole, std::vector<std::string>& out, const std::vector<std::string>& through = {},
    const std::vector<std::string>& environment = {});

} // namespace rig
