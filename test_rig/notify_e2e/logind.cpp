#include "notify_e2e/logind.h"

#include "file_text.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {
namespace {

// tolvane-real-logind's status where the place lacks what logind needs.
constexpr int place_lacks_status = 77;

// Whether this is root with the user ids of a whole system at hand, nobody
// (65534) included: the host's root, or a container's whose user namespace
// maps a range of ids, rather than the one user a user namespace of the
// tests' own maps.
bool root_of_a_whole_system()
{
    if (::geteuid() != 0)
        return false;
    std::ifstream map("/proc/self/uid_map");
    for (unsigned long inside = 0, outside = 0, count = 0; map >> inside >> outside >> count;)
        if (inside <= 65534 && 65534 - inside < count)
            return true;
    return false;
}

} // namespace

rig::Status Logind::send(const std::string& commands, rig::Deadline deadline)
{
    std::istringstream words(commands);
    for (std::string command; words >> command;) {
        const std::string line = command + "\n";
        if (auto s = rig::write_all(process.stdin_fd.get(), line.data(), line.size(), deadline); !s)
            return rig::Status::failed("sending " + command + " to logind: " + s.error);
        if (rig::read_line(process, deadline) != "sent " + command)
            return rig::Status::failed("logind did not send " + command);
    }
    return rig::Status::ok();
}

rig::Status start_logind(const Rig& rig, Logind& out, rig::Deadline deadline)
{
    rig::SpawnOptions options;
    options.pipe_stdin = true;
    options.environment = {"DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address};
    if (auto s = rig::spawn({TOLVANE_TEST_LOGIND}, options, out.process); !s)
        return s;
    if (rig::read_line(out.process, deadline) != "monitoring")
        return rig::Status::failed("the logind stand-in did not start watching the bus");
    return rig::Status::ok();
}

rig::Status start_real_logind(Rig& rig, Logind& out, rig::Deadline deadline)
{
    const std::string dir = rig.dir + "/real-logind";
    if (auto s = make_directory(dir, 0711); !s)
        return s;
    rig::SpawnOptions options;
    options.pipe_stdin = true;
    options.stderr_path = dir + "/tolvane-real-logind.log";
    if (auto s = rig::spawn({TOLVANE_REAL_LOGIND, dir}, options, out.process); !s)
        return s;
    const auto address = rig::read_line(out.process, deadline);
    if (!address && rig::wait_exit(out.process, deadline) == std::optional<int>(place_lacks_status))
        return rig::Status::unavailable(rig::file_text(options.stderr_path));
    if (!address || !address->starts_with("address "))
        return rig::Status::failed("tolvane-real-logind did not start; see " + options.stderr_path);
    rig.system_bus_address = address->substr(8);
    if (rig::read_line(out.process, deadline) != "monitoring")
        return rig::Status::failed("tolvane-real-logind did not start watching the bus");
    return rig::Status::ok();
}

rig::Status wait_subscribed(Logind& logind, rig::Deadline deadline)
{
    if (rig::read_line(logind.process, deadline) != "subscribed")
        return rig::Status::failed("the monitor did not subscribe to PrepareForSleep");
    return rig::Status::ok();
}

rig::Status real_logind_available()
{
    if (::access("/lib/systemd/systemd-logind", X_OK) != 0)
        return rig::Status::failed("/lib/systemd/systemd-logind is not installed (Debian package systemd)");
    if (!root_of_a_whole_system())
        return rig::Status::failed(
            "the real systemd-logind needs root with a whole system's user ids, not a user namespace's one user");
    return rig::Status::ok();
}

rig::Status other_user_available()
{
    if (!root_of_a_whole_system())
        return rig::Status::failed("a user namespace maps no other user");
    if (::access(setpriv_program, X_OK) != 0)
        return rig::Status::failed(std::string(setpriv_program) + " is not installed (Debian package util-linux)");
    return rig::Status::ok();
}

rig::Status spoof_sleep(const Rig& rig, bool sleeping, rig::Deadline deadline)
{
    // A copy it may run: the build tree may lie where nobody else may look.
    const std::string spoofer = rig.dir + "/sleep-spoofer";
    std::error_code error;
    std::filesystem::copy_file(
        TOLVANE_TEST_SLEEP_SPOOFER, spoofer, std::filesystem::copy_options::overwrite_existing, error);
    if (error || ::chmod(spoofer.c_str(), 0755) != 0)
        return rig::Status::failed("cannot copy the spoofer to " + spoofer);
    rig::ChildProcess child;
    rig::SpawnOptions options;
    options.environment = {"DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address};
    options.stderr_path = rig.dir + "/sleep-spoofer.log";
    if (auto s = rig::spawn({setpriv_program, "--reuid=65534", "--regid=65534", "--clear-groups", "--", spoofer,
                                sleeping ? "true" : "false"},
            options, child);
        !s)
        return s;
    const auto line = rig::read_line(child, deadline);
    if (rig::wait_exit(child, deadline) != std::optional<int>(0) || !line || !line->starts_with("spoofed ")
        || *line == "spoofed 0")
        return rig::Status::failed(
            "the spoofer failed (" + line.value_or("no output") + "); see " + options.stderr_path);
    return rig::Status::ok();
}

} // namespace e2e
