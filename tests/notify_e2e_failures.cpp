// What the plug-in does when a notification cannot reach the user: the log
// line it writes (the exact bytes on /dev/log), the rate limit that still
// holds for the failed key, and the reader going on with the next record.
#include "notify_e2e/rig_test.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace e2e;
using NotifyFailures = RigTest;

const std::string docs = "/home/ann/Documents/report.odt";

struct BusClosedCase {
    const char* name;
    UserBus user_bus;
    std::vector<std::string> host_options;
    std::vector<Logged> lines; // in any order: the monitor logs from its own thread
};

TEST_F(NotifyFailures, WithoutAUserBusEachNewKeyIsLoggedOnceAndItsRepeatsStaySilent)
{
    const auto user_bus_line = [](int error) {
        return Logged{
            user_err, std::string("notify(254)-> Failed to connect to user bus: ") + std::strerror(error) + "\n"};
    };
    const Logged system_bus_refused{
        user_err, std::string("notify(100)-> Failed to connect to system bus: ") + std::strerror(EPERM)};
    const BusClosedCase cases[] = {
        // Nothing listens on the bus socket's path.
        {"no user bus", UserBus::missing, {}, {user_bus_line(ENOENT), user_bus_line(ENOENT)}},
        // A host whose service manager lets it connect to the system log only.
        {"a host that may not connect", UserBus::present, {"--confined"},
            {system_bus_refused, user_bus_line(EPERM), user_bus_line(EPERM)}},
    };
    const auto confinement = host_confinement();
    ASSERT_OK(confinement.status);
    std::string skipped;
    for_each_row(cases, [&](const auto& c) {
        if (std::ranges::count(c.host_options, "--confined") && !confinement.unavailable.empty()) {
            skipped += (skipped.empty() ? "" : "; ") + std::string(c.name) + ": " + confinement.unavailable;
            return;
        }
        Rig rig;
        ASSERT_OK(start_rig(rig, ServerMode::answer, c.user_bus));
        ASSERT_OK(make_notify_fifo());
        const auto deadline = rig::deadline_in(patience);
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, c.host_options, false, host));
        rig::unique_fd fifo;
        ASSERT_OK(open_fifo_writer(deadline, fifo));
        for (const char* path : {docs.c_str(), docs.c_str(), "/dev/video0"})
            ASSERT_OK(feed(fifo.get(), path, "/usr/bin/editor", deadline));

        // The monitor logs from its own thread, at a time of its choosing:
        // the host keeps reading until every line is there.
        auto lines = logged_lines(wait_for_log(rig, c.lines.size(), deadline), host.pid);
        const auto by_text = [](const Logged& a, const Logged& b) { return a.message < b.message; };
        std::sort(lines.begin(), lines.end(), by_text);
        auto expected = c.lines;
        std::sort(expected.begin(), expected.end(), by_text);
        EXPECT_EQ(lines, expected);
        fifo.reset();
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(recorded_calls(rig).size(), 0u);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

struct ServerFailureCase {
    const char* name;
    ServerMode mode;
    size_t calls_seen_by_server;
    std::vector<Logged> lines;
    std::vector<std::string> environment; // of the host
    // The user bus stops before the host starts and goes on after this long,
    // so that the first call waits in its connection's handshake. Its line
    // must then come once SYSTEMD_BUS_TIMEOUT has passed since the start,
    // and well before half as much again.
    std::chrono::milliseconds stall;
    std::chrono::milliseconds timeout;
};

TEST_F(NotifyFailures, AFailedNotifyIsLoggedAndTheReaderGoesOnWithTheNextRecord)
{
    const ServerFailureCase cases[] = {
        {"the server answers with an error", ServerMode::fail, 2,
            {{user_err, "notify(283)-> Failed to Notify: the test notification server refuses this notification\n"},
                {user_err, "notify(283)-> Failed to Notify: the test notification server refuses this notification\n"}},
            {}, 0ms, 0ms},
        // The server drops its connection on the first call; the bus answers
        // for it at once, and the second call finds nobody owning the name.
        {"the server vanishes", ServerMode::vanish, 1,
            {{user_err,
                 "notify(283)-> Failed to Notify: Message recipient disconnected from message bus without "
                 "replying\n"},
                {user_err,
                    "notify(283)-> Failed to Notify: The name org.freedesktop.Notifications was not provided by "
                    "any .service files\n"}},
            {}, 0ms, 0ms},
        // The call gives up at the bus library's reply timeout, which the
        // environment may shorten, as for a synchronous call.
        {"the server never answers", ServerMode::silent, 2,
            {{user_err, "notify(283)-> Failed to Notify: Method call timed out\n"},
                {user_err, "notify(283)-> Failed to Notify: Method call timed out\n"}},
            {"SYSTEMD_BUS_TIMEOUT=1s"}, 0ms, 0ms},
        // One deadline for the handshake, the call and the answer: the time
        // the handshake took is not added to it.
        {"the server never answers and the user bus stalls during the handshake", ServerMode::silent, 2,
            {{user_err, "notify(283)-> Failed to Notify: Method call timed out\n"},
                {user_err, "notify(283)-> Failed to Notify: Method call timed out\n"}},
            {"SYSTEMD_BUS_TIMEOUT=3s"}, 2500ms, 3000ms},
    };
    for_each_row(cases, [&](const auto& c) {
        Rig rig;
        ASSERT_OK(start_rig(rig, c.mode));
        // The repeat of the first key comes after the failure and stays silent.
        ASSERT_OK(write_notify_file(record(docs, "/usr/bin/editor") + record(docs, "/usr/bin/editor")
            + record("/dev/video1", "/usr/bin/camapp") + record(docs, "/usr/bin/editor")));

        const pid_t user_bus = rig.user_bus.daemon.pid;
        if (c.stall > 0ms) {
            ASSERT_EQ(::kill(user_bus, SIGSTOP), 0);
        }
        const auto started = rig::Clock::now();
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, {}, false, host, c.environment));
        const pid_t host_pid = host.pid;
        const auto deadline = rig::deadline_in(patience);
        std::vector<std::string> datagrams;
        if (c.stall > 0ms) {
            // The stall's length is the input, not a wait for an effect.
            std::this_thread::sleep_until(started + c.stall);
            ASSERT_EQ(::kill(user_bus, SIGCONT), 0);
            datagrams = wait_for_log(rig, 1, deadline);
            const auto first_line = rig::Clock::now() - started;
            EXPECT_GE(first_line, c.timeout) << "the call ended before its time";
            EXPECT_LT(first_line, c.timeout * 3 / 2) << "the handshake's time was added to the call's";
        }
        EXPECT_EQ(rig::read_rest(host, deadline), "KRMRegister returned 0\n");
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(recorded_calls(rig).size(), c.calls_seen_by_server);
        for (auto& datagram : drain_log(rig))
            datagrams.push_back(std::move(datagram));
        EXPECT_EQ(logged_lines(datagrams, host_pid), c.lines);
    });
}

} // namespace
