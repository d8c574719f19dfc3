// Stand-in for systemd-logind's part of the sleep protocol, for the rig:
// tolvane-test-logind sends PrepareForSleep, and look-alikes, on the bus
// named by DBUS_SYSTEM_BUS_ADDRESS.
//
// It owns "org.freedesktop.login1", becomes a bus monitor on a second
// connection and prints "monitoring". Once it sees some client (the
// subscriber) ask the bus for a match on PrepareForSleep, it prints
// "subscribed": from then on the
// signals it sends are delivered to that client. It then reads commands
// from standard input, one per line, and prints "sent COMMAND" after each,
// once the bus has handed the signal on (a round trip to the bus on the
// sending connection follows it), so signals sent one after the other reach
// the client in that order whichever connection sent them:
//   true            PrepareForSleep(true), the machine is about to sleep
//   false           PrepareForSleep(false), the machine has resumed
//   bad             a PrepareForSleep whose argument is a string, not a boolean
//   restart         logind restarts: this connection gives up the name and a
//                   new one takes it, under a new unique name; the signals
//                   above come from the new one from then on
// and signals that only look like logind's, each with the argument true:
//   stranger        PrepareForSleep from a second connection, which does not
//                   own "org.freedesktop.login1"
//   other-path      PrepareForSleep from another object path
//   other-interface PrepareForSleep on another interface
//   other-member    PrepareForShutdown instead of PrepareForSleep
//   former          PrepareForSleep sent to the subscriber alone (unicast)
//                   from the connection that owned the name before the last
//                   restart
#include "bus_handles.h"
#include "subscriber_watch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

namespace {

constexpr const char* login1_path = "/org/freedesktop/login1";
constexpr const char* manager_interface = "org.freedesktop.login1.Manager";

struct Connections {
    FlushingBusConnection logind; // owns org.freedesktop.login1
    FlushingBusConnection stranger; // opened on first use; owns no name
    FlushingBusConnection former; // owned the name before the last restart
    std::string subscriber; // the unique name of the client that subscribed
};

int fail(const char* what, int r)
{
    std::fprintf(stderr, "tolvane-test-logind: %s: %s\n", what, std::strerror(-r));
    return 1;
}

// The bus handles one connection's messages in order: once it has answered
// this call, it has routed every signal sent before it on `bus`.
int round_trip(sd_bus* bus)
{
    BusError error;
    return sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
        &error.error, nullptr, "");
}

int open_system_bus(FlushingBusConnection& out)
{
    sd_bus* raw = nullptr;
    const int r = sd_bus_open_system(&raw);
    out.reset(raw);
    return r;
}

// The bus tells everyone of both changes of owner before it routes anything
// the new owner sends.
int restart(Connections& buses)
{
    FlushingBusConnection next;
    int r = open_system_bus(next);
    if (r < 0 || (r = sd_bus_release_name(buses.logind.get(), "org.freedesktop.login1")) < 0
        || (r = sd_bus_request_name(next.get(), "org.freedesktop.login1", 0)) < 0)
        return r;
    buses.former = std::move(buses.logind);
    buses.logind = std::move(next);
    return 0;
}

int unicast_from_former(Connections& buses)
{
    if (!buses.former)
        return -ENOENT;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_signal(buses.former.get(), &raw, login1_path, manager_interface, "PrepareForSleep");
    const BusMessage m(raw);
    if (r < 0 || (r = sd_bus_message_set_destination(m.get(), buses.subscriber.c_str())) < 0
        || (r = sd_bus_message_append(m.get(), "b", 1)) < 0)
        return r;
    return sd_bus_send(buses.former.get(), m.get(), nullptr);
}

sd_bus* sender_of(Connections& buses, const std::string& command)
{
    if (command == "stranger")
        return buses.stranger.get();
    if (command == "former")
        return buses.former.get();
    return buses.logind.get();
}

int emit(Connections& buses, const std::string& command)
{
    sd_bus* bus = buses.logind.get();
    if (command == "true" || command == "false")
        return sd_bus_emit_signal(bus, login1_path, manager_interface, "PrepareForSleep", "b", command == "true");
    if (command == "bad")
        return sd_bus_emit_signal(bus, login1_path, manager_interface, "PrepareForSleep", "s", "not a boolean");
    if (command == "other-path")
        return sd_bus_emit_signal(
            bus, "/org/freedesktop/login1/seat/seat0", manager_interface, "PrepareForSleep", "b", 1);
    if (command == "other-interface")
        return sd_bus_emit_signal(bus, login1_path, "org.freedesktop.login1.Seat", "PrepareForSleep", "b", 1);
    if (command == "other-member")
        return sd_bus_emit_signal(bus, login1_path, manager_interface, "PrepareForShutdown", "b", 1);
    if (command == "restart")
        return restart(buses);
    if (command == "former")
        return unicast_from_former(buses);
    if (command == "stranger") {
        if (const int r = buses.stranger ? 0 : open_system_bus(buses.stranger); r < 0)
            return r;
        return sd_bus_emit_signal(buses.stranger.get(), login1_path, manager_interface, "PrepareForSleep", "b", 1);
    }
    return -EINVAL;
}

int send(Connections& buses, const std::string& command)
{
    if (const int r = emit(buses, command); r < 0)
        return r;
    return round_trip(sender_of(buses, command));
}

} // namespace

int main()
{
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    Connections buses;
    buses.logind.reset(raw);
    if (r < 0)
        return fail("cannot connect to the system bus", r);
    if ((r = sd_bus_request_name(buses.logind.get(), "org.freedesktop.login1", 0)) < 0)
        return fail("cannot own org.freedesktop.login1", r);
    FlushingBusConnection monitor;
    if ((r = rig::open_subscriber_watch(monitor)) < 0)
        return fail("cannot become a bus monitor", r);
    std::cout << "monitoring" << std::endl;
    if ((r = rig::wait_for_subscriber(monitor.get(), &buses.subscriber)) < 0)
        return fail("cannot watch the bus", r);
    std::cout << "subscribed" << std::endl;

    for (std::string command; std::getline(std::cin, command);) {
        if ((r = send(buses, command)) < 0)
            return fail(("cannot send " + command).c_str(), r);
        std::cout << "sent " << command << std::endl;
    }
    return 0;
}
