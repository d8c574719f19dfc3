// The fixed profile directory of the generator's suites, /etc/tolvane.d,
// inside the private /etc their main() sets up: a fresh tmpfs for each test,
// and what a test reads back from it.
#pragma once

#include "status.h"

#include <set>
#include <string>

namespace rig {

inline const std::string profile_dir = "/etc/tolvane.d";

// Owns the mount at profile_dir while it lives.
class PrivateProfileDirectory {
public:
    PrivateProfileDirectory() = default;
    PrivateProfileDirectory(const PrivateProfileDirectory&) = delete;
    PrivateProfileDirectory& operator=(const PrivateProfileDirectory&) = delete;
    ~PrivateProfileDirectory();

    // A fresh, empty tmpfs with the mount data `data` ("mode=0755,size=4k"),
    // in place of the one before.
    Status mount(const std::string& data, bool read_only = false);
    // No profile directory at all; the next mount() makes it again.
    Status remove();

private:
    bool mounted_ = false;
    bool removed_ = false;
};

// The names in `dir`.
std::set<std::string> entries(const std::string& dir);

} // namespace rig
