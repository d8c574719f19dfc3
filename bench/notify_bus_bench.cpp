// Notifications per second that reach a notification server over a private
// user bus, through the plug-in's whole road of one event (filter, rate
// limiter, new connection, Notify, release). Absolute rates differ between
// machines, so each run also measures a plain sd-bus round trip (Ping of the
// same server on one open connection) and reports the ratio
// "notify_per_ping": how many Ping round trips one notification costs.
#include "bus_handles.h"
#include "child_process.h"
#include "notify.h"
#include "private_bus.h"
#include "sandbox.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using namespace std::chrono_literals;

struct Rig {
    std::string dir;
    rig::PrivateBus bus;
    rig::ChildProcess server;
};

rig::Status start(Rig& r)
{
    if (auto s = rig::make_temp_dir("tolvane-bench", r.dir); !s)
        return s;
    const auto deadline = rig::deadline_in(30s);
    if (auto s = rig::start_private_bus(r.dir, deadline, r.bus); !s)
        return s;
    rig::SpawnOptions options;
    options.environment = {"DBUS_SESSION_BUS_ADDRESS=" + r.bus.address};
    if (auto s = rig::spawn({TOLVANE_TEST_SERVER}, options, r.server); !s)
        return s;
    if (rig::read_line(r.server, deadline) != std::optional<std::string>("ready"))
        return rig::Status::failed("the notification server did not get ready");
    ::setenv("DBUS_SESSION_BUS_ADDRESS", r.bus.address.c_str(), 1);
    return rig::Status::ok();
}

FlushingBusConnection open_user_bus()
{
    sd_bus* raw = nullptr;
    const int r = sd_bus_open_user(&raw);
    FlushingBusConnection bus(raw);
    return r < 0 ? nullptr : std::move(bus);
}

int ping(sd_bus* bus)
{
    BusError error;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call_method(bus, "org.freedesktop.Notifications", "/org/freedesktop/Notifications",
        "org.freedesktop.DBus.Peer", "Ping", &error.error, &reply, "");
    BusMessage owned(reply);
    return r;
}

// Seconds per Ping round trip to the notification server, on one connection.
double seconds_per_ping(int rounds)
{
    const auto bus = open_user_bus();
    if (!bus)
        return 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
        if (ping(bus.get()) < 0)
            return 0;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / rounds;
}

void BM_PingRoundTrip(benchmark::State& state)
{
    const auto bus = open_user_bus();
    if (!bus) {
        state.SkipWithError("cannot connect to the private bus");
        return;
    }
    for (auto _ : state)
        if (ping(bus.get()) < 0)
            state.SkipWithError("Ping failed");
    state.SetItemsProcessed(state.iterations());
    // The baseline in its own unit; the CSV output wants every counter in every row.
    state.counters["notify_per_ping"] = 1.0;
}
BENCHMARK(BM_PingRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_NotifyThroughThePlugin(benchmark::State& state)
{
    const double ping = seconds_per_ping(200);
    if (ping <= 0) {
        state.SkipWithError("Ping of the notification server failed");
        return;
    }
    static long key = 0; // a new program per event, so the rate limiter lets each through
    long failures = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::string program = "/usr/bin/bench" + std::to_string(++key);
        if (notify_message("/home/ann/Documents/bench.txt", program.c_str()) < 0)
            ++failures;
    }
    const double per_notify
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / state.iterations();
    if (failures)
        state.SkipWithError("some notifications failed");
    state.SetItemsProcessed(state.iterations());
    state.counters["notify_per_ping"] = per_notify / ping;
}
BENCHMARK(BM_NotifyThroughThePlugin)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    // Private namespaces, so that even a failing notification's syslog line
    // stays in here; entered before any thread exists.
    if (auto s = rig::enter_private_namespaces(); !s) {
        std::fprintf(stderr, "cannot enter private namespaces: %s\n", s.error.c_str());
        return 1;
    }
    Rig r;
    if (auto s = start(r); !s) {
        std::fprintf(stderr, "cannot start the rig: %s\n", s.error.c_str());
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    rig::kill_and_reap(r.server, SIGKILL);
    rig::kill_and_reap(r.bus.daemon, SIGKILL);
    rig::remove_tree(r.dir);
    return 0;
}
