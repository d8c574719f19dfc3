// The private namespaces every end-to-end suite runs in, entered by its
// main() before any thread starts.
#pragma once

#include "status.h"

#include <string>

namespace e2e {

// Whether the end-to-end suites can run here: they need private namespaces,
// a sysfs on /sys holding /sys/kernel/security, and a dbus-daemon.
rig::Status sandbox_available();

// Private mount (and, when not root, user) namespace; private /dev, /run
// and /sys/kernel/security. Where the place refuses a namespace or a mount,
// the status is unavailable_here.
rig::Status enter_sandbox();

// Compiles the locale `name` ("de_DE.UTF-8": de_DE in UTF-8) into `dir`,
// for a program run with LOCPATH=dir.
rig::Status compile_locale(const std::string& name, const std::string& dir);

} // namespace e2e
