// The fixed paths the notification plug-in uses, made private.
#pragma once

#include "status.h"

#include <string>

namespace rig {

inline constexpr const char* notify_file = "/sys/kernel/security/tolvane/.notify";

// Succeeds where make_plugin_paths_private() has the paths to make
// private: /sys must be a sysfs holding /sys/kernel/security.
Status plugin_paths_available();

// Inside a private mount namespace: a private /dev (with no /dev/log yet),
// an empty tmpfs on /run, so that nothing reaches the host's buses by their
// well-known paths, and a tmpfs on /sys/kernel/security holding the empty
// directory tolvane/. `scratch` is an empty directory, used while /dev is
// being replaced.
Status make_plugin_paths_private(const std::string& scratch);

} // namespace rig
