// The outcome of one check, printed as one line: the verdict, what was
// checked, what was found and, when something is wrong, what to do.
#pragma once

#include <string>

// warn: notifications still appear, but not quite as they should.
enum class Verdict { ok, warn, fail };

struct CheckResult {
    Verdict verdict;
    std::string subject; // "user bus", ...
    std::string text; // what was found; on a failure or warning, then what to do
};
