// tolvane-real-logind: runs the real systemd-logind for the rig, so that a
// real Suspend call drives the plug-in's sleep monitor.
//
//   tolvane-real-logind DIR
//
// In a mount namespace of its own, so that nothing it mounts reaches the
// host, it puts a tmpfs on /run holding a logind.conf.d drop-in (NAutoVTs=0,
// ReserveVT=0: logind opens no terminal), binds DIR/power-state ("freeze mem
// disk"; writable, which logind checks) over /sys/power/state, and starts
// a system dbus-daemon (the system bus's configuration and policies)
// listening on DIR/bus, tolvane-test-systemd1 in place of the service
// manager, and systemd-logind, which logs to DIR/logind.log.
// It prints "address ADDRESS", the bus for DBUS_SYSTEM_BUS_ADDRESS, and
// "monitoring"; once a client asks for a match on PrepareForSleep,
// "subscribed". It then reads commands, one per line, answering each with
// "sent COMMAND":
//   suspend   calls logind's Suspend(false) as root; logind sends
//             PrepareForSleep(true) before it answers
//   resume    the suspend job ends; logind then sends PrepareForSleep(false)
//   restart   logind ends on SIGTERM and starts again, under a new unique
//             name, as a package upgrade restarts it
// At the end of its input it stops everything it started. Exit status 0, 1
// on a failure (told on standard error), 77 when systemd-logind is missing,
// or ends on start where there is no cgroup hierarchy (which it needs up to
// systemd 257).
#include "bus_handles.h"
#include "child_process.h"
#include "private_bus.h"
#include "sandbox.h"
#include "subscriber_watch.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

namespace {

using namespace std::chrono_literals;

constexpr const char* logind_program = "/lib/systemd/systemd-logind";

struct Children {
    // Stopped in reverse order: logind before its buses' daemon.
    rig::PrivateBus bus;
    rig::ChildProcess systemd1;
    rig::ChildProcess logind;
};

rig::Status write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
    return f.flush() ? rig::Status::ok() : rig::Status::failed("cannot write " + path);
}

// A /run and a /sys/power/state of our own; the host's stay as they are.
rig::Status prepare_namespace(const std::string& dir)
{
    if (auto s = rig::enter_private_namespaces(); !s)
        return s;
    if (auto s = rig::mount_tmpfs("/run", "mode=0755"); !s)
        return s;
    for (const char* d : {"/run/dbus", "/run/systemd", "/run/systemd/logind.conf.d"})
        if (::mkdir(d, 0755) != 0)
            return rig::Status::failed_errno(std::string("mkdir ") + d);
    if (auto s = write_file("/run/systemd/logind.conf.d/50-rig.conf", "[Login]\nNAutoVTs=0\nReserveVT=0\n"); !s)
        return s;
    const std::string state = dir + "/power-state";
    if (auto s = write_file(state, "freeze mem disk\n"); !s)
        return s;
    return rig::bind_mount(state, "/sys/power/state");
}

rig::Status start_bus(const std::string& dir, rig::Deadline deadline, Children& children)
{
    if (auto s = rig::start_private_bus(dir, deadline, children.bus, rig::BusPolicy::system); !s)
        return s;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", children.bus.address.c_str(), 1);
    return rig::Status::ok();
}

// Waits until logind owns its name on the bus.
rig::Status wait_for_logind(sd_bus* bus, rig::ChildProcess& logind, rig::Deadline deadline)
{
    for (;;) {
        BusError error;
        sd_bus_message* raw = nullptr;
        const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", &error.error, &raw, "s", "org.freedesktop.login1");
        BusMessage reply(raw);
        int owned = 0;
        if (r >= 0 && sd_bus_message_read(reply.get(), "b", &owned) >= 0 && owned)
            return rig::Status::ok();
        if (rig::wait_exit(logind, rig::Clock::now())) {
            if (auto place = rig::cgroup_hierarchy_available(); !place)
                return rig::Status::unavailable(place.error + "; systemd-logind ended on start");
            return rig::Status::failed("systemd-logind ended on start");
        }
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed("systemd-logind did not take org.freedesktop.login1");
        ::poll(nullptr, 0, 10);
    }
}

rig::Status start_logind(const std::string& dir, rig::Deadline deadline, Children& children, sd_bus* bus)
{
    rig::SpawnOptions logind;
    logind.stderr_path = dir + "/logind.log";
    // Its lines go to its standard error, not to the host's kernel log.
    logind.environment = {"SYSTEMD_LOG_TARGET=console"};
    if (auto s = rig::spawn({logind_program}, logind, children.logind); !s)
        return s;
    return wait_for_logind(bus, children.logind, deadline);
}

rig::Status start_services(const std::string& dir, rig::Deadline deadline, Children& children, sd_bus* bus)
{
    rig::SpawnOptions stand_in;
    stand_in.pipe_stdin = true;
    stand_in.stderr_path = dir + "/systemd1.log";
    if (auto s = rig::spawn({TOLVANE_TEST_SYSTEMD1}, stand_in, children.systemd1); !s)
        return s;
    if (rig::read_line(children.systemd1, deadline) != "ready")
        return rig::Status::failed("the service manager's stand-in did not get ready");
    return start_logind(dir, deadline, children, bus);
}

// A restart, as a package upgrade makes one: logind ends, then comes back
// under a new unique name.
rig::Status restart_logind(const std::string& dir, Children& children, sd_bus* bus)
{
    const auto deadline = rig::deadline_in(30s);
    ::kill(children.logind.pid, SIGTERM);
    if (rig::wait_exit(children.logind, deadline) != std::optional<int>(0))
        return rig::Status::failed("systemd-logind did not end cleanly on SIGTERM");
    return start_logind(dir, deadline, children, bus);
}

rig::Status suspend(sd_bus* bus, Children& children)
{
    BusError error;
    if (const int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "Suspend", &error.error, nullptr, "b", 0);
        r < 0)
        return rig::Status::failed(
            std::string("Suspend failed: ") + (error.error.message ? error.error.message : std::strerror(-r)));
    if (rig::read_line(children.systemd1, rig::deadline_in(30s)) != "job started suspend.target")
        return rig::Status::failed("logind did not start suspend.target");
    return rig::Status::ok();
}

rig::Status resume(Children& children)
{
    const auto deadline = rig::deadline_in(30s);
    if (!rig::write_all(children.systemd1.stdin_fd.get(), "finish\n", 7, deadline))
        return rig::Status::failed("cannot reach the service manager's stand-in");
    if (rig::read_line(children.systemd1, deadline) != "finished 1")
        return rig::Status::failed("no suspend job to end");
    return rig::Status::ok();
}

constexpr int place_lacks_status = 77;

int fail(const std::string& what)
{
    std::fprintf(stderr, "tolvane-real-logind: %s\n", what.c_str());
    return 1;
}

int fail(const rig::Status& s)
{
    (void)fail(s.error);
    return s.unavailable_here ? place_lacks_status : 1;
}

int run(const std::string& dir)
{
    const auto deadline = rig::deadline_in(60s);
    if (auto s = prepare_namespace(dir); !s)
        return fail(s.error);
    Children children;
    if (auto s = start_bus(dir, deadline, children); !s)
        return fail(s.error);
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    FlushingBusConnection bus(raw);
    if (r < 0)
        return fail(std::string("cannot connect to the system bus: ") + std::strerror(-r));
    FlushingBusConnection watch;
    if ((r = rig::open_subscriber_watch(watch)) < 0)
        return fail(std::string("cannot become a bus monitor: ") + std::strerror(-r));
    if (auto s = start_services(dir, deadline, children, bus.get()); !s)
        return fail(s);
    std::cout << "address " << children.bus.address << "\nmonitoring" << std::endl;
    if ((r = rig::wait_for_subscriber(watch.get())) < 0)
        return fail(std::string("cannot watch the bus: ") + std::strerror(-r));
    std::cout << "subscribed" << std::endl;

    for (std::string command; std::getline(std::cin, command);) {
        const rig::Status s = command == "suspend" ? suspend(bus.get(), children)
            : command == "resume"                  ? resume(children)
            : command == "restart"                 ? restart_logind(dir, children, bus.get())
                                                   : rig::Status::failed("unknown command " + command);
        if (!s)
            return fail(s.error);
        std::cout << "sent " << command << std::endl;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: tolvane-real-logind DIR\n");
        return 2;
    }
    if (::access(logind_program, X_OK) != 0) {
        std::fprintf(stderr, "tolvane-real-logind: %s is not installed (Debian package systemd)\n", logind_program);
        return place_lacks_status;
    }
    return run(argv[1]);
}
