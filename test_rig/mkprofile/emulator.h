// tv-mkprofile in a cross build: it runs through the emulator that runs its
// tests (qemu-user), which takes the loader's variables on its own command
// line and reports some of the program's deaths in a line of its own.
#pragma once

#include "child_process.h"

#include <string>
#include <vector>

namespace rig {

// The words that come before the program on its command line: the
// emulator's, and the loader's variables (LD_PRELOAD, ...) moved from
// `options` to the emulator's -E, so that the emulator's own loader never
// preloads a library built for the other machine. Empty in a native build.
std::vector<std::string> emulator_words(SpawnOptions& options);

// Whether the program runs through an emulator.
bool under_emulator();

// What the program wrote to standard error: without the emulator's line
// about a signal that ends the program in a core dump.
std::string program_stderr(const std::string& err);

} // namespace rig
