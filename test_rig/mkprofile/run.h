// Running tv-mkprofile as its tests do (this build's, or the installed one
// that TOLVANE_TEST_MKPROFILE names) and reading the outcome of a run.
#pragma once

#include "child_process.h"
#include "status.h"

#include <string>
#include <vector>

namespace rig {

struct MkprofileOutcome {
    int status = -1; // the exit status, or 128 + the signal that ended the run
    std::string out;
    std::string err;
};

struct MkprofileRun {
    ChildProcess process;
    std::string stderr_path;
};

// The directory where the runs' standard error and traces are kept; the
// test's main() sets it once.
void set_mkprofile_scratch(const std::string& dir);
// A fresh path in that directory, for a file of one run.
std::string mkprofile_scratch_file(const std::string& kind);

// tv-mkprofile's command line: `wrapper` first, then the emulator's words
// (which takes the loader's variables out of `options`), the program, `args`.
std::vector<std::string> mkprofile_command(
    const std::vector<std::string>& args, SpawnOptions& options, const std::vector<std::string>& wrapper = {});

// Starts tv-mkprofile with `args`, after `wrapper` (a program that starts it,
// such as strace with its options). Its umask is 022 unless `options` says
// otherwise, and its standard error goes to a file of its own.
Status start_mkprofile(const std::vector<std::string>& args, SpawnOptions options,
    const std::vector<std::string>& wrapper, MkprofileRun& run);

// Reads the run's standard output to its end and waits for it, with a
// deadline; a run that outlasts it shows as status -1.
MkprofileOutcome finish_mkprofile(MkprofileRun& run);

// Both at once. A run that cannot be started shows as status -1, with what
// failed as its standard error.
MkprofileOutcome run_mkprofile(const std::vector<std::string>& args, const SpawnOptions& options = {},
    const std::vector<std::string>& wrapper = {});

} // namespace rig
