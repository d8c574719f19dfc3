// Stand-in for the service manager's side of a suspend (no service manager
// runs in the rig): tolvane-test-systemd1 answers the few calls of
// org.freedesktop.systemd1 that systemd-logind makes on the bus named by
// DBUS_SYSTEM_BUS_ADDRESS, and plays the machine that sleeps.
//
// It owns "org.freedesktop.systemd1" and prints "ready". It answers
//   Manager.Subscribe                    with nothing;
//   Properties.Get of a unit's LoadState with "loaded";
//   Manager.StartUnit(name, mode)        with a new job's path, printing
//                                        "job started NAME": the machine
//                                        sleeps from here;
// and, for each line "finish" on standard input, ends the jobs started so
// far with the signal JobRemoved(id, path, name, "done"), which is when
// logind sees the machine resume, and prints "finished N" (N jobs ended).
#include "bus_handles.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* manager_path = "/org/freedesktop/systemd1";
constexpr const char* manager_interface = "org.freedesktop.systemd1.Manager";

struct Job {
    std::uint32_t id;
    std::string path;
    std::string unit;
};

struct Machine {
    std::uint32_t next_id = 1;
    std::vector<Job> running;
};

int start_unit(sd_bus_message* m, Machine& machine)
{
    const char* unit = nullptr;
    const char* mode = nullptr;
    if (const int r = sd_bus_message_read(m, "ss", &unit, &mode); r < 0)
        return r;
    Job job{machine.next_id, std::string(manager_path) + "/job/" + std::to_string(machine.next_id), unit};
    ++machine.next_id;
    const int r = sd_bus_reply_method_return(m, "o", job.path.c_str());
    std::cout << "job started " << job.unit << std::endl;
    machine.running.push_back(std::move(job));
    return r;
}

int get_property(sd_bus_message* m)
{
    const char* interface = nullptr;
    const char* property = nullptr;
    if (const int r = sd_bus_message_read(m, "ss", &interface, &property); r < 0)
        return r;
    if (std::strcmp(interface, "org.freedesktop.systemd1.Unit") != 0 || std::strcmp(property, "LoadState") != 0)
        return sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.UnknownProperty", "no property %s", property);
    return sd_bus_reply_method_return(m, "v", "s", "loaded");
}

int on_call(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto& machine = *static_cast<Machine*>(userdata);
    if (sd_bus_message_is_method_call(m, manager_interface, "Subscribe"))
        return sd_bus_reply_method_return(m, "");
    if (sd_bus_message_is_method_call(m, manager_interface, "StartUnit"))
        return start_unit(m, machine);
    if (sd_bus_message_is_method_call(m, "org.freedesktop.DBus.Properties", "Get"))
        return get_property(m);
    std::fprintf(stderr, "tolvane-test-systemd1: unexpected %s.%s\n", sd_bus_message_get_interface(m),
        sd_bus_message_get_member(m));
    return 0; // sd-bus answers with an error
}

int finish_jobs(sd_bus* bus, Machine& machine)
{
    for (const auto& job : machine.running)
        if (const int r = sd_bus_emit_signal(bus, manager_path, manager_interface, "JobRemoved", "uoss", job.id,
                job.path.c_str(), job.unit.c_str(), "done");
            r < 0)
            return r;
    std::cout << "finished " << machine.running.size() << std::endl;
    machine.running.clear();
    return sd_bus_flush(bus);
}

int fail(const char* what, int r)
{
    std::fprintf(stderr, "tolvane-test-systemd1: %s: %s\n", what, std::strerror(-r));
    return 1;
}

// Serves the bus and standard input until the input ends.
int serve(sd_bus* bus, Machine& machine)
{
    std::string input;
    for (;;) {
        int r;
        while ((r = sd_bus_process(bus, nullptr)) > 0) { }
        if (r < 0)
            return fail("cannot process the bus", r);
        pollfd fds[2]
            = {{sd_bus_get_fd(bus), static_cast<short>(sd_bus_get_events(bus)), 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return fail("poll", -errno);
        if (!fds[1].revents)
            continue;
        char chunk[256];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0)
            return 0;
        input.append(chunk, static_cast<size_t>(n));
        for (size_t nl; (nl = input.find('\n')) != std::string::npos; input.erase(0, nl + 1))
            if (input.compare(0, nl, "finish") == 0 && (r = finish_jobs(bus, machine)) < 0)
                return fail("cannot end the jobs", r);
    }
}

} // namespace

int main()
{
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    FlushingBusConnection bus(raw);
    if (r < 0)
        return fail("cannot connect to the system bus", r);
    Machine machine;
    if ((r = sd_bus_add_fallback(bus.get(), nullptr, manager_path, on_call, &machine)) < 0)
        return fail("cannot serve the manager's objects", r);
    if ((r = sd_bus_request_name(bus.get(), "org.freedesktop.systemd1", 0)) < 0)
        return fail("cannot own org.freedesktop.systemd1", r);
    std::cout << "ready" << std::endl;
    return serve(bus.get(), machine);
}
