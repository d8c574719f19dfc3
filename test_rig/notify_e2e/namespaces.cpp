#include "notify_e2e/namespaces.h"

#include "child_process.h"
#include "notify_e2e/rig.h"
#include "plugin_paths.h"
#include "private_bus.h"
#include "sandbox.h"

#include <unistd.h>

namespace e2e {

rig::Status sandbox_available()
{
    if (auto s = rig::private_namespaces_available(); !s)
        return s;
    if (auto s = rig::plugin_paths_available(); !s)
        return s;
    if (::access(rig::dbus_daemon_program, X_OK) != 0)
        return rig::Status::unavailable(
            std::string(rig::dbus_daemon_program) + " is not installed (Debian package dbus-daemon)");
    return rig::Status::ok();
}

rig::Status enter_sandbox()
{
    if (auto s = rig::enter_private_namespaces(); !s)
        return s;
    std::string scratch;
    if (auto s = rig::make_temp_dir("tolvane-e2e-dev", scratch); !s)
        return s;
    auto s = rig::make_plugin_paths_private(scratch);
    rig::remove_tree(scratch);
    return s;
}

rig::Status compile_locale(const std::string& name, const std::string& dir)
{
    const size_t dot = name.find('.');
    rig::ChildProcess localedef;
    rig::SpawnOptions options;
    options.stderr_path = dir + "/localedef.log";
    if (auto s = rig::spawn(
            {"localedef", "-i", name.substr(0, dot), "-f", name.substr(dot + 1), dir + "/" + name}, options, localedef);
        !s)
        return s;
    const auto deadline = rig::deadline_in(patience);
    (void)rig::read_rest(localedef, deadline);
    if (rig::wait_exit(localedef, deadline) != std::optional<int>(0))
        return rig::Status::failed("localedef could not compile " + name + ", see " + options.stderr_path);
    return rig::Status::ok();
}

} // namespace e2e
