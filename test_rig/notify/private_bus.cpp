#include "private_bus.h"

#include "file_text.h"

#include <cstring>
#include <fstream>

namespace rig {
namespace {

constexpr const char* system_config = "/usr/share/dbus-1/system.conf";

// The system bus's own configuration as the distribution ships it, but for
// its change of user: the daemon stays who started it, so that its death
// still follows ours, and so that it starts in a user namespace too, where
// there is no messagebus and no changing of groups. Its relative includes
// are made absolute, as the copy lives elsewhere.
std::string system_bus_config(BusPolicy policy)
{
    std::string config = file_text(system_config);
    if (policy == BusPolicy::system_without_name_owner) {
        const std::string refusal = "<policy context=\"mandatory\"><deny send_destination=\"org.freedesktop.DBus\" "
                                    "send_interface=\"org.freedesktop.DBus\" send_member=\"GetNameOwner\"/></policy>\n";
        if (const auto end = config.rfind("</busconfig>"); end != std::string::npos)
            config.insert(end, refusal);
    }
    const auto user = config.find("<user>");
    const auto user_end = config.find("</user>", user);
    if (user != std::string::npos && user_end != std::string::npos)
        config.erase(user, user_end + std::strlen("</user>") - user);
    const std::string relative = "<includedir>system.d</includedir>";
    if (const auto at = config.find(relative); at != std::string::npos)
        config.replace(at, relative.size(), "<includedir>/usr/share/dbus-1/system.d</includedir>");
    return config;
}

// The daemon's own complaints go to stderr, never to syslog (--nosyslog):
// the tests read every datagram that reaches /dev/log and expect only the
// plug-in's.
std::string session_bus_config(const std::string& dir)
{
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:path="
        + dir
        + "/bus</listen>\n"
          "  <auth>EXTERNAL</auth>\n"
          "  <policy context=\"default\">\n"
          "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
          "    <allow eavesdrop=\"true\"/>\n"
          "    <allow own=\"*\"/>\n"
          "  </policy>\n"
          "</busconfig>\n";
}

} // namespace

Status start_private_bus(const std::string& dir, Deadline deadline, PrivateBus& out, BusPolicy policy)
{
    const std::string config = dir + "/bus.conf";
    {
        std::ofstream f(config);
        const std::string text = policy == BusPolicy::session ? session_bus_config(dir) : system_bus_config(policy);
        if (text.empty())
            return Status::failed(std::string("cannot read ") + system_config + " (Debian package dbus)");
        f << text;
        if (!f.flush())
            return Status::failed("cannot write " + config);
    }
    PrivateBus bus;
    SpawnOptions options;
    // Kept out of the test output: as root without CAP_SYS_RESOURCE the
    // daemon complains on every start that it cannot raise its fd limit.
    options.stderr_path = dir + "/dbus-daemon.log";
    // The address replaces every <listen> of the configuration, the system
    // bus's own /run/dbus/system_bus_socket included.
    if (auto s = spawn({dbus_daemon_program, "--config-file=" + config, "--nofork", "--nosyslog", "--nopidfile",
                           "--print-address", "--address=unix:path=" + dir + "/bus"},
            options, bus.daemon);
        !s)
        return s;
    auto line = read_line(bus.daemon, deadline);
    if (!line || line->empty())
        return Status::failed("dbus-daemon printed no address");
    bus.address = *line;
    out = std::move(bus);
    return Status::ok();
}

} // namespace rig
