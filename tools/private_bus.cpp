#include "private_bus.h"

#include <fstream>

namespace rig {
namespace {

constexpr const char* doctype = "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n";

// The daemon's own complaints go to stderr, never to syslog (--nosyslog):
// the tests read every datagram that reaches /dev/log and expect only the
// plug-in's.
std::string bus_config(const std::string& dir, BusPolicy policy)
{
    if (policy == BusPolicy::system)
        // Except that the daemon stays root: a change of user would cancel
        // its death with ours (and a user namespace maps no messagebus).
        return std::string(doctype)
            + "<busconfig>\n  <include>/usr/share/dbus-1/system.conf</include>\n  <user>root</user>\n</busconfig>\n";
    return std::string(doctype)
        + "<busconfig>\n"
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

std::string start_private_bus(const std::string& dir, Deadline deadline, PrivateBus& out, BusPolicy policy)
{
    const std::string config = dir + "/bus.conf";
    {
        std::ofstream f(config);
        f << bus_config(dir, policy);
        if (!f.flush())
            return "cannot write " + config;
    }
    PrivateBus bus;
    SpawnOptions options;
    // Kept out of the test output: as root without CAP_SYS_RESOURCE the
    // daemon complains on every start that it cannot raise its fd limit.
    options.stderr_path = dir + "/dbus-daemon.log";
    // The address replaces every <listen> of the configuration, the system
    // bus's own /run/dbus/system_bus_socket included.
    if (auto e = spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--nosyslog", "--nopidfile",
                           "--print-address", "--address=unix:path=" + dir + "/bus"},
            options, bus.daemon);
        !e.empty())
        return e;
    auto line = read_line(bus.daemon, deadline);
    if (!line || line->empty())
        return "dbus-daemon printed no address";
    bus.address = *line;
    out = std::move(bus);
    return {};
}

} // namespace rig
