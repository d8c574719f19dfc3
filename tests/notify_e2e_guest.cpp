// The plug-in as a guest of its host, driven through the host program: a
// second call while the reader runs, a host that exits while records flow,
// the host's signals and descriptors, which the plug-in must leave to it, and
// signals on the reader's own thread, which must cost no notification.
#include "notify_e2e/rig_test.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyGuest = RigTest;

struct ConcurrentCase {
    const char* name;
    const char* action;
    std::vector<std::string> expected_lines;
};

// The first call stays in its reader on the FIFO while the main thread of the
// host makes the second call; the reader must go on serving records after it.
TEST_F(NotifyGuest, ACallWhileTheReaderRunsLeavesTheReaderServing)
{
    const ConcurrentCase cases[] = {
        {"second registration is refused", "register", {"second KRMRegister returned -1"}},
        {"unregistration only reports success", "unregister", {"KRMUnregister returned 0"}},
        // The library stays mapped, so the reader (and the monitor thread)
        // go on running its code after the host has let go of it.
        {"the host unregisters and unloads the library", "unload", {"KRMUnregister returned 0", "dlclose returned 0"}},
    };
    for_each_row(cases, [&](const auto& c) {
        Rig rig;
        ASSERT_OK(start_rig(rig));
        ASSERT_OK(make_notify_fifo());
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, {"--while-reading", c.action}, true, host));
        const auto deadline = rig::deadline_in(patience);

        rig::unique_fd fifo;
        ASSERT_OK(open_fifo_writer(deadline, fifo));
        const std::string first = record("/home/ann/Desktop/todo.txt", "/usr/bin/first");
        ASSERT_OK(rig::write_all(fifo.get(), first.data(), first.size(), deadline));
        ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

        ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
        for (const auto& line : c.expected_lines)
            EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>(line));

        // The repeat proves the map survived; the new key proves the reader runs.
        const std::string more = first + record("/home/ann/Desktop/todo.txt", "/usr/bin/second");
        ASSERT_OK(rig::write_all(fifo.get(), more.data(), more.size(), deadline));
        EXPECT_EQ(wait_for_calls(rig, 2, deadline).size(), 2u);
        fifo.reset();
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(summaries(recorded_calls(rig)),
            (std::vector<std::string>{
                std::string("/usr/bin/first") + files_suffix, std::string("/usr/bin/second") + files_suffix}));
    });
}

// Lets writes to a pipe whose reader has gone fail with EPIPE instead of
// ending the test; the children started before it keep their own setting.
struct BrokenPipesIgnored {
    struct sigaction previous = {};
    BrokenPipesIgnored()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &previous);
    }
    BrokenPipesIgnored(const BrokenPipesIgnored&) = delete;
    BrokenPipesIgnored& operator=(const BrokenPipesIgnored&) = delete;
    ~BrokenPipesIgnored() { ::sigaction(SIGPIPE, &previous, nullptr); }
};

// The host shuts down while its thread is inside the reader and records keep
// coming, each with a key of its own: exit() on the host's main thread runs
// the destructors of static objects while the reader still stores keys. With
// no user bus and no system log every record is dealt with at once, so the
// reader is as busy with the rate-limit map as it can be at that moment.
TEST_F(NotifyGuest, AHostThatExitsWhileRecordsFlowEndsWithStatusZero)
{
    constexpr size_t taken_before_exit = 40'000; // well below the map's cap
    Rig rig;
    ASSERT_OK(start_rig(rig, ServerMode::answer, UserBus::missing));
    ASSERT_EQ(::unlink("/dev/log"), 0) << std::strerror(errno);
    ASSERT_OK(make_notify_fifo());
    rig::ChildProcess host;
    ASSERT_OK(start_host(rig, {"--while-reading", "exit"}, true, host));
    const auto deadline = rig::deadline_in(patience);
    rig::unique_fd fifo;
    ASSERT_OK(open_fifo_writer(deadline, fifo));
    // Room for a thousand records, so that the reader never waits for more.
    ASSERT_GE(::fcntl(fifo.get(), F_SETPIPE_SZ, 1024 * 1024), 0) << std::strerror(errno);
    const BrokenPipesIgnored broken_pipes_ignored;

    size_t records = 0;
    size_t written = 0;
    bool told = false;
    std::string pending;
    for (;;) {
        while (pending.size() < 256 * 1024)
            pending += record("/home/ann/Documents/" + std::to_string(records++), "/usr/bin/editor");
        const ssize_t n = ::write(fifo.get(), pending.data(), pending.size());
        if (n < 0 && errno == EPIPE)
            break; // the host has gone
        ASSERT_TRUE(n > 0 || errno == EAGAIN) << std::strerror(errno);
        if (n > 0) {
            pending.erase(0, static_cast<size_t>(n));
            written += static_cast<size_t>(n);
        }
        int unread = 0;
        ASSERT_EQ(::ioctl(fifo.get(), FIONREAD, &unread), 0);
        if (!told && written - static_cast<size_t>(unread) >= taken_before_exit * 1024) {
            ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
            told = true;
        }
        pollfd room{fifo.get(), POLLOUT, 0};
        ASSERT_GE(::poll(&room, 1, 100), 0);
        ASSERT_LT(rig::Clock::now(), deadline) << "the host did not end";
    }
    EXPECT_TRUE(told);
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
}

// The host keeps SIGUSR1 and SIGUSR2 to its registering thread and sends
// itself a burst of both: none may reach the monitor, whose wait on the bus
// would end with line 135 and never notice a sleep again. The reader goes on
// through the interrupted reads. And the programs the host starts inherit
// none of the plug-in's descriptors: the notification file, the system bus,
// the log.
TEST_F(NotifyGuest, TheHostKeepsItsSignalsToItselfAndItsChildrenGetNoDescriptorOfOurs)
{
    const std::string docs = "/home/ann/Documents/plan.odt";
    Rig rig;
    ASSERT_OK(start_rig(rig));
    ASSERT_OK(make_notify_fifo());
    const auto deadline = rig::deadline_in(patience);
    Logind logind;
    ASSERT_OK(start_logind(rig, logind, deadline));
    rig::ChildProcess host;
    ASSERT_OK(start_host(rig, {"--while-reading", "signals"}, true, host));
    rig::unique_fd fifo;
    ASSERT_OK(open_fifo_writer(deadline, fifo));
    ASSERT_OK(wait_subscribed(logind, deadline));

    // Records the filter drops go by meanwhile: a sanitizer that holds a
    // signal back until the thread next calls into the C library hands it
    // on while the reader handles one.
    ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
    std::optional<std::string> sent;
    while (!(sent = rig::read_line(host, std::min(deadline, rig::deadline_in(10ms)))) && rig::Clock::now() < deadline)
        ASSERT_OK(feed(fifo.get(), "/etc/passwd", "/usr/bin/cat", deadline));
    EXPECT_EQ(sent, std::optional<std::string>("sent 201 signals"));
    ASSERT_OK(feed(fifo.get(), docs, "/usr/bin/after-the-signals", deadline));
    ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

    ASSERT_OK(logind.send("true bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), host.pid),
        (std::vector<Logged>{{user_info, "notify(81)-> on_set_notify_onoff: PrepareForSleep true"},
            {user_err,
                "notify(77)-> on_set_notify_onoff sd_bus_message_read failed: " + std::string(std::strerror(ENXIO))}}));
    ASSERT_OK(feed(fifo.get(), docs, "/usr/bin/while-asleep", deadline));
    pid_t reader = -1;
    ASSERT_OK(wait_for_thread_blocked_in_read(host.pid, deadline, reader));
    ASSERT_OK(wait_until_reader_idle(reader, fifo.get(), deadline));
    EXPECT_EQ(inheritable_descriptors(host.pid), std::vector<std::string>{});

    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
    EXPECT_EQ(summaries(recorded_calls(rig)),
        std::vector<std::string>{std::string("/usr/bin/after-the-signals") + files_suffix});
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

// Hosts take their signals on the thread that runs the reader, without
// SA_RESTART: a burst while the plug-in waits for a slow server's answer,
// and a signal every 2 ms across many events. Each event reaches the server
// exactly once, and nothing is logged: an interrupted wait is waited again,
// never given up and never turned into a second call.
struct HostSignals {
    const char* name;
    ServerMode server;
    const char* action;
    size_t events;
    const char* sent; // what the host says of its signals, up to the count
};

TEST_F(NotifyGuest, SignalsOnTheReadersThreadCostNoNotificationAndSendNoneTwice)
{
    const HostSignals cases[] = {
        {"a burst while the server takes 1.5 s to answer", ServerMode::slow, "signals", 1, "sent 201 signals"},
        {"a signal every 2 ms across 300 events", ServerMode::answer, "storm", 300, "sent "},
    };
    for_each_row(cases, [&](const auto& c) {
        Rig rig;
        ASSERT_OK(start_rig(rig, c.server));
        ASSERT_OK(make_notify_fifo());
        const auto deadline = rig::deadline_in(patience);
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, {"--while-reading", c.action}, true, host));
        rig::unique_fd fifo;
        ASSERT_OK(open_fifo_writer(deadline, fifo));
        std::vector<std::string> expected;
        const auto program = [](size_t i) { return "/usr/bin/app-" + std::to_string(i); };
        for (size_t i = 0; i < c.events; ++i)
            expected.push_back(program(i) + files_suffix);

        if (c.events == 1) {
            // The server has the call and takes its time: the signals come
            // while the reader waits for the answer.
            ASSERT_OK(feed(fifo.get(), "/home/ann/Documents/plan.odt", program(0), deadline));
            ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);
            // It waits asleep, up to the call's deadline, not spinning.
            EXPECT_OK(wait_for_bus_wait(host.pid, true, deadline));
            ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
            const auto sent = rig::read_line(host, deadline);
            ASSERT_TRUE(sent && sent->starts_with(c.sent)) << sent.value_or("no line");
        } else {
            ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
            for (size_t i = 0; i < c.events; ++i)
                ASSERT_OK(feed(fifo.get(), "/home/ann/Documents/plan.odt", program(i), deadline));
            ASSERT_EQ(wait_for_calls(rig, c.events, deadline).size(), c.events);
            ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
            const auto sent = rig::read_line(host, deadline);
            ASSERT_TRUE(sent && sent->starts_with(c.sent) && *sent != "sent 0 signals") << sent.value_or("no line");
        }
        // A repeat of the first: the answer arrived, the key holds.
        ASSERT_OK(feed(fifo.get(), "/home/ann/Documents/plan.odt", program(0), deadline));

        fifo.reset();
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(summaries(recorded_calls(rig)), expected);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

} // namespace
