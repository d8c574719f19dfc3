// The file system's answers that tmpfs never gives, in a run of
// tv-mkprofile, through the preloaded preloaded_file_system.cpp: what a file
// system lacks, and calls that do their work and then report an error. Only
// the plain build has it: a sanitizer's runtime must come first in the
// loader's list, before any preloaded library.
#pragma once

#include <string>
#include <vector>

namespace rig {

// Why a run cannot have the shim here; empty when it can.
std::string file_system_shim_missing();

// The variables of a run through the shim with `settings`, each one of
// those below.
std::vector<std::string> file_system_shim(const std::vector<std::string>& settings);

// The `n`th call of `call` (renameat2, linkat, unlinkat, fsync or close; 1
// for the first) that the program makes is made, then returns `error`.
std::string done_then_fail(const std::string& call, int error, int n);

// The file system lacks each of `what`: "unnamed", "rename2", "links".
std::string lacking(const std::vector<std::string>& what);

// Each call that done_then_fail can fail writes its name, one a line, to `log`.
std::string calls_logged_to(const std::string& log);

} // namespace rig
