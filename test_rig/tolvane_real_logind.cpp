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
// on a failure (told on standard error), 77 when systemd-logind is missing.
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

std::string write_file(const std::string& path, const std::string& text)
{
    std::ofstream f(path);
    f << text;
    return f.flush() ? std::string() : "cannot write " + path;
}

// A /run and a /sys/power/state of our own; the host's stay as they are.
std::string prepare_namespace(const std::string& dir)
{
    if (auto e = sandbox::enter_private_namespaces(); !e.empty())
        return e;
    if (auto e = sandbox::mount_tmpfs("/run", "mode=0755"); !e.empty())
        return e;
    for (const char* d : {"/run/dbus", "/run/systemd", "/run/systemd/logind.conf.d"})
        if (::mkdir(d, 0755) != 0)
            return std::string("mkdir ") + d + ": " + std::strerror(errno);
    if (auto e = write_file("/run/systemd/logind.conf.d/50-rig.conf", "[Login]\nNAutoVTs=0\nReserveVT=0\n"); !e.empty())
        return e;
    const std::string state = dir + "/power-state";
    if (auto e = write_file(state, "freeze mem disk\n"); !e.empty())
        return e;
    return sandbox::bind_mount(state, "/sys/power/state");
}

std::string start_bus(const std::string& dir, rig::Deadline deadline, Children& children)
{
    if (auto e = rig::start_private_bus(dir, deadline, children.bus, rig::BusPolicy::system); !e.empty())
        return e;
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", children.bus.address.c_str(), 1);
    return {};
}

// Waits until logind owns its name on the bus.
std::string wait_for_logind(sd_bus* bus, rig::ChildProcess& logind, rig::Deadline deadline)
{
    for (;;) {
        BusError error;
        sd_bus_message* raw = nullptr;
        const int r = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "NameHasOwner", &error.error, &raw, "s", "org.freedesktop.login1");
        BusMessage reply(raw);
        int owned = 0;
        if (r >= 0 && sd_bus_message_read(reply.get(), "b", &owned) >= 0 && owned)
            return {};
        if (rig::wait_exit(logind, rig::Clock::now()))
            return "systemd-logind ended on start";
        if (rig::Clock::now() >= deadline)
            return "systemd-logind did not take org.freedesktop.login1";
        ::poll(nullptr, 0, 10);
    }
}

std::string start_logind(const std::string& dir, rig::Deadline deadline, Children& children, sd_bus* bus)
{
    rig::SpawnOptions logind;
    logind.stderr_path = dir + "/logind.log";
    // Its lines go to its standard error, not to the host's kernel log.
    logind.environment = {"SYSTEMD_LOG_TARGET=console"};
    if (auto e = rig::spawn({logind_program}, logind, children.logind); !e.empty())
        return e;
    return wait_for_logind(bus, children.logind, deadline);
}

std::string start_services(const std::string& dir, rig::Deadline deadline, Children& children, sd_bus* bus)
{
    rig::SpawnOptions stand_in;
    stand_in.pipe_stdin = true;
    stand_in.stderr_path = dir + "/systemd1.log";
    if (auto e = rig::spawn({TOLVANE_TEST_SYSTEMD1}, stand_in, children.systemd1); !e.empty())
        return e;
    if (rig::read_line(children.systemd1, deadline) != "ready")
        return "the service manager's stand-in did not get ready";
    return start_logind(dir, deadline, children, bus);
}

// A restart, as a package upgrade makes one: logind ends, then comes back
// under a new unique name.
std::string restart_logind(const std::string& dir, Children& children, sd_bus* bus)
{
    const auto deadline = rig::deadline_in(30s);
    ::kill(children.logind.pid, SIGTERM);
    if (rig::wait_exit(children.logind, deadline) != std::optional<int>(0))
        return "systemd-logind did not end cleanly on SIGTERM";
    return start_logind(dir, deadline, children, bus);
}

std::string suspend(sd_bus* bus, Children& children)
{
    BusError error;
    if (const int r = sd_bus_call_method(bus, "org.freedesktop.login1", "/org/freedesktop/login1",
            "org.freedesktop.login1.Manager", "Suspend", &error.error, nullptr, "b", 0);
        r < 0)
        return std::string("Suspend failed: ") + (error.error.message ? error.error.message : std::strerror(-r));
    if (rig::read_line(children.systemd1, rig::deadline_in(30s)) != "job started suspend.target")
        return "logind did not start suspend.target";
    return {};
}

std::string resume(Children& children)
{
    const auto deadline = rig::deadline_in(30s);
    if (!rig::write_all(children.systemd1.stdin_fd.get(), "finish\n", 7, deadline))
        return "cannot reach the service manager's stand-in";
    if (rig::read_line(children.systemd1, deadline) != "finished 1")
        return "no suspend job to end";
    return {};
}

int fail(const std::string& what)
{
    std::fprintf(stderr, "tolvane-real-logind: %s\n", what.c_str());
    return 1;
}

int run(const std::string& dir)
{
    const auto deadline = rig::deadline_in(60s);
    if (auto e = prepare_namespace(dir); !e.empty())
        return fail(e);
    Children children;
    if (auto e = start_bus(dir, deadline, children); !e.empty())
        return fail(e);
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    FlushingBusConnection bus(raw);
    if (r < 0)
        return fail(std::string("cannot connect to the system bus: ") + std::strerror(-r));
    FlushingBusConnection watch;
    if ((r = rig::open_subscriber_watch(watch)) < 0)
        return fail(std::string("cannot become a bus monitor: ") + std::strerror(-r));
    if (auto e = start_services(dir, deadline, children, bus.get()); !e.empty())
        return fail(e);
    std::cout << "address " << children.bus.address << "\nmonitoring" << std::endl;
    if ((r = rig::wait_for_subscriber(watch.get())) < 0)
        return fail(std::string("cannot watch the bus: ") + std::strerror(-r));
    std::cout << "subscribed" << std::endl;

    for (std::string command; std::getline(std::cin, command);) {
        std::string e = command == "suspend" ? suspend(bus.get(), children)
            : command == "resume"            ? resume(children)
            : command == "restart"           ? restart_logind(dir, children, bus.get())
                                             : "unknown command " + command;
        if (!e.empty())
            return fail(e);
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
        return 77;
    }
    return run(argv[1]);
}
