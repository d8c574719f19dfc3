#include "private_bus.h"

#include <fstream>

namespace rig {
namespace {

// Session-style policy: everyone may own any name and call anyone. The
// daemon's own complaints go to stderr, never to syslog: the tests read
// every datagram that reaches /dev/log and expect only the plug-in's.
std::string bus_config(const std::string& dir)
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

std::string start_private_bus(const std::string& dir, Deadline deadline, PrivateBus& out)
{
    const std::string config = dir + "/bus.conf";
    {
        std::ofstream f(config);
        f << bus_config(dir);
        if (!f.flush())
            return "cannot write " + config;
    }
    PrivateBus bus;
    SpawnOptions options;
    // Kept out of the test output: as root without CAP_SYS_RESOURCE the
    // daemon complains on every start that it cannot raise its fd limit.
    options.stderr_path = dir + "/dbus-daemon.log";
    if (auto e = spawn({"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--nosyslog", "--print-address"},
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
