// The sleep monitor seen from outside: PrepareForSleep, from the logind
// stand-in or from the real systemd-logind after a real Suspend call,
// silences notifications, and a resume brings them back exactly two seconds
// later, with the info lines as they arrive on /dev/log; look-alike signals
// from anyone else change nothing; a sleep with no resume ends after the
// bound of awake time, in the test build and the shipped one; without a
// system bus, or when the monitor ends, it logs once, the reader is
// unaffected and notifications are on.
#include "notify_e2e/rig_test.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace e2e;
using NotifySleep = RigTest;

const std::string docs = "/home/ann/Documents/report.odt";
const std::string not_a_boolean
    = std::string("notify(77)-> on_set_notify_onoff sd_bus_message_read failed: ") + std::strerror(ENXIO);
const Logged sleeping{user_info, "notify(81)-> on_set_notify_onoff: PrepareForSleep true"};
const Logged resumed{user_info, "notify(81)-> on_set_notify_onoff: PrepareForSleep false"};
const Logged marker{user_err, not_a_boolean};
const Logged foreign{
    user_err, "notify(88)-> Ignoring PrepareForSleep from senders other than the owner of org.freedesktop.login1"};

// Ends the reader and checks that the host ran to a clean end.
void end_reader(Subscribed& run, rig::Deadline deadline)
{
    run.fifo.reset();
    EXPECT_EQ(rig::read_line(run.host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(run.host, deadline), std::optional<int>(0));
}

// Feeds one record and reports how many notifications there are once the
// reader has handled it.
size_t calls_after_feeding(const Rig& rig, Subscribed& run, const std::string& program, rig::Deadline deadline)
{
    EXPECT_OK(feed(run.fifo.get(), docs, program, deadline));
    EXPECT_OK(wait_until_reader_idle(run.host.pid, run.fifo.get(), deadline));
    return recorded_calls(rig).size();
}

// Waits until the thread has ended; false at the deadline.
bool wait_until_gone(const std::filesystem::path& task, rig::Deadline deadline)
{
    while (std::filesystem::exists(task)) {
        if (rig::Clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, 2);
    }
    return true;
}

struct SleepRun {
    const char* name;
    LogindKind logind;
    const char* sleep; // the steps that make the machine sleep
    std::vector<Logged> sleep_lines; // what they log
    const char* resume; // and resume
    std::vector<Logged> resume_lines;
};

void PrintTo(const SleepRun& run, std::ostream* out)
{
    *out << run.name;
}

class NotifySleepWith : public RigTest, public testing::WithParamInterface<SleepRun> { };

TEST_P(NotifySleepWith, SilenceFromTheSleepUntilExactlyTwoSecondsAfterTheResume)
{
    const SleepRun& param = GetParam();
    if (const auto available = real_logind_available(); param.logind == LogindKind::real && !available)
        GTEST_SKIP() << available.error << ": the sleep monitor is tested with the logind stand-in only";
    Rig rig;
    ASSERT_OK(start_rig(rig));
    const auto deadline = rig::deadline_in(patience);
    Subscribed run;
    const auto started = start_subscribed(rig, run, deadline, param.logind);
    if (started.unavailable_here)
        GTEST_SKIP() << started.error;
    ASSERT_OK(started);
    const pid_t host_pid = run.host.pid;

    ASSERT_EQ(calls_after_feeding(rig, run, "/usr/bin/awake", deadline), 1u);
    // Awake, the monitor waits for signals with no time limit.
    EXPECT_OK(wait_for_bus_wait(host_pid, false, deadline));

    ASSERT_OK(run.logind.send(param.sleep, deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, param.sleep_lines.size(), deadline), host_pid), param.sleep_lines);
    // The line goes out just before the switch is turned off; the monitor
    // waits with a time limit once it has been.
    ASSERT_OK(wait_for_bus_wait(host_pid, true, deadline));
    // Asleep, each new program is held back.
    EXPECT_EQ(calls_after_feeding(rig, run, "/usr/bin/asleep-1", deadline), 1u);
    EXPECT_EQ(calls_after_feeding(rig, run, "/usr/bin/asleep-2", deadline), 1u);

    const auto resume_sent = rig::Clock::now();
    ASSERT_OK(run.logind.send(param.resume, deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, param.resume_lines.size(), deadline), host_pid), param.resume_lines);
    const Reappearance back = feed_until_notified(rig, run, docs, deadline);
    ASSERT_TRUE(back.seen);
    // Two seconds after the resume, give or take what the rig needs to see
    // it on a loaded machine: records fed well past one second after it are
    // still held back, and one is notified before three seconds have passed.
    // The exact instant is pinned by the unit test through the clock seam.
    EXPECT_GE(back.notified - resume_sent, 2s);
    EXPECT_LT(back.notified - resume_sent, 2900ms);
    EXPECT_GE(back.last_silenced_fed - resume_sent, 1200ms);
    EXPECT_OK(wait_for_bus_wait(host_pid, false, deadline));

    // The held-back records left no entry in the rate limit: they are
    // notified now, not a minute later.
    const size_t before = recorded_calls(rig).size();
    EXPECT_EQ(calls_after_feeding(rig, run, "/usr/bin/asleep-1", deadline), before + 1);

    end_reader(run, deadline);
    const auto calls = summaries(recorded_calls(rig));
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), std::string("/usr/bin/awake") + files_suffix);
    EXPECT_EQ(calls.back(), std::string("/usr/bin/asleep-1") + files_suffix);
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(NotifySleep, NotifySleepWith,
    ::testing::Values(
        // elogind sends every signal twice: that is one sleep and one resume.
        SleepRun{"StandInSendingEachSignalTwice", LogindKind::stand_in, "true true", {sleeping, sleeping},
            "false false", {resumed, resumed}},
        // logind leaving is no resume, its next owner is heard at once, and
        // the connection that owned the name before is heard no more.
        SleepRun{"StandInRestartingWhileAsleep", LogindKind::stand_in, "true restart former", {sleeping, foreign},
            "false", {resumed}},
        SleepRun{"RealLogindSuspending", LogindKind::real, "suspend", {sleeping}, "resume", {resumed}},
        SleepRun{"RealLogindRestartedBeforeTheSuspend", LogindKind::real, "restart suspend", {sleeping}, "resume",
            {resumed}}),
    [](const auto& run_info) { return std::string(run_info.param.name); });

// The test build differs from the shipped one in its monitor's object alone,
// compiled with a bound of 3 s instead of 60 s. The shipped build's whole
// minute is waited out where that build is the one that ships (a plain or a
// package build, and the installed plug-in); an instrumented build keeps its
// bound by the same code, which the test build's row runs.
struct BoundRun {
    const char* name;
    const char* plugin; // empty: the shipped build
    std::chrono::seconds bound;
};

TEST_F(NotifySleep, WithoutAResumeNotificationsComeBackAfterTheBoundOfAwakeTime)
{
    std::vector<BoundRun> runs{{"the test build", TOLVANE_NOTIFY_PLUGIN_SHORT_BOUND, 3s}};
#ifndef TOLVANE_INSTRUMENTED_BUILD
    runs.push_back({"the shipped build", "", 60s});
#endif
    for_each_row(runs, [&](const BoundRun& r) {
        Rig rig;
        ASSERT_OK(start_rig(rig));
        rig.plugin = r.plugin;
        const auto deadline = rig::deadline_in(patience + r.bound);
        Subscribed run;
        ASSERT_OK(start_subscribed(rig, run, deadline));

        const auto sleep_sent = rig::Clock::now();
        ASSERT_OK(run.logind.send("true", deadline));
        EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), run.host.pid), std::vector<Logged>{sleeping});
        ASSERT_OK(wait_for_bus_wait(run.host.pid, true, deadline));
        // The time that passes is the input: records are fed from a few
        // seconds before the bound on, not for the whole minute.
        std::this_thread::sleep_until(sleep_sent + r.bound - 3s);
        const Reappearance back = feed_until_notified(rig, run, docs, deadline);
        ASSERT_TRUE(back.seen);
        EXPECT_GE(back.notified - sleep_sent, r.bound);
        EXPECT_LT(back.notified - sleep_sent, r.bound + 900ms);
        EXPECT_GE(back.last_silenced_fed - sleep_sent, r.bound - 800ms);
        EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), run.host.pid),
            (std::vector<Logged>{{user_info,
                "notify(140)-> No PrepareForSleep false within " + std::to_string(r.bound.count())
                    + " s awake: notifications on again"}}));
        EXPECT_OK(wait_for_bus_wait(run.host.pid, false, deadline));

        end_reader(run, deadline);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

TEST_F(NotifySleep, LookAlikeSignalsFromAnotherSenderPathInterfaceOrMemberChangeNothing)
{
    Rig rig;
    ASSERT_OK(start_rig(rig));
    const auto deadline = rig::deadline_in(patience);
    Subscribed run;
    ASSERT_OK(start_subscribed(rig, run, deadline));

    // Each one says "about to sleep"; the marker comes after all of them.
    ASSERT_OK(run.logind.send("stranger other-path other-interface other-member bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), run.host.pid), std::vector<Logged>{marker});
    ASSERT_OK(feed(run.fifo.get(), docs, "/usr/bin/editor", deadline));
    ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

    end_reader(run, deadline);
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

// On a system bus as distributions configure it, anyone may send a signal
// to any connection. Nobody's sleep or resume counts but logind's.
TEST_F(NotifySleep, UnicastSleepSignalsFromAnotherUserChangeNothing)
{
    if (const auto available = other_user_available(); !available)
        GTEST_SKIP() << available.error;
    Rig rig;
    ASSERT_OK(start_rig(rig));
    const auto deadline = rig::deadline_in(patience);
    Subscribed run;
    ASSERT_OK(start_subscribed(rig, run, deadline));

    ASSERT_OK(spoof_sleep(rig, true, deadline));
    ASSERT_OK(run.logind.send("bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), run.host.pid), (std::vector<Logged>{foreign, marker}));
    EXPECT_EQ(calls_after_feeding(rig, run, "/usr/bin/awake", deadline), 1u);

    // Asleep, a false from anyone else neither ends the silence nor starts
    // the pause towards its end.
    ASSERT_OK(run.logind.send("true", deadline));
    ASSERT_OK(spoof_sleep(rig, false, deadline));
    ASSERT_OK(spoof_sleep(rig, true, deadline));
    ASSERT_OK(run.logind.send("bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), run.host.pid), (std::vector<Logged>{sleeping, marker}));
    EXPECT_EQ(calls_after_feeding(rig, run, "/usr/bin/asleep", deadline), 1u);

    end_reader(run, deadline);
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

// The monitor ends while notifications are silenced: it has logged why, and
// it turns them back on, since nothing else could.
struct MonitorEnd {
    const char* name;
    std::function<bool(Rig&, Subscribed&, rig::Deadline)> cause;
    std::vector<Logged> lines;
};

TEST_F(NotifySleep, AMonitorThatEndsWhileSilencedLogsWhyAndLeavesNotificationsOn)
{
    const MonitorEnd ends[] = {
        {"the system bus goes away: the wait wakes on the hang-up, processing finds the connection reset",
            [](Rig& rig, Subscribed&, rig::Deadline) {
                rig::kill_and_reap(rig.system_bus.daemon, SIGKILL);
                return true;
            },
            {{user_err, std::string("notify(124)-> Failed to process bus: ") + std::strerror(ECONNRESET)}}},
        {"the host may hold no file descriptor: the next wait cannot poll even one",
            [](Rig&, Subscribed& run, rig::Deadline deadline) {
                rlimit none{};
                if (::prlimit(run.host.pid, RLIMIT_NOFILE, nullptr, &none) != 0)
                    return false;
                none.rlim_cur = 0;
                return ::prlimit(run.host.pid, RLIMIT_NOFILE, &none, nullptr) == 0 && run.logind.send("bad", deadline);
            },
            {marker, {user_err, std::string("notify(135)-> Failed to wait on bus: ") + std::strerror(EINVAL)}}},
    };
    for_each_row(ends, [&](const auto& end) {
        Rig rig;
        ASSERT_OK(start_rig(rig));
        const auto deadline = rig::deadline_in(patience);
        Subscribed run;
        ASSERT_OK(start_subscribed(rig, run, deadline));
        ASSERT_OK(run.logind.send("true", deadline));
        EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), run.host.pid), std::vector<Logged>{sleeping});
        std::filesystem::path monitor;
        ASSERT_OK(wait_for_bus_wait(run.host.pid, true, deadline, monitor));
        EXPECT_EQ(calls_after_feeding(rig, run, "/usr/bin/asleep", deadline), 0u);

        rlimit files{};
        ASSERT_EQ(::prlimit(run.host.pid, RLIMIT_NOFILE, nullptr, &files), 0);
        ASSERT_TRUE(end.cause(rig, run, deadline));
        EXPECT_EQ(logged_lines(wait_for_log(rig, end.lines.size(), deadline), run.host.pid), end.lines);
        ASSERT_EQ(::prlimit(run.host.pid, RLIMIT_NOFILE, &files, nullptr), 0);
        // The line goes out just before the monitor ends.
        ASSERT_TRUE(wait_until_gone(monitor, deadline));
        // At once, with no pause: the same record is notified now.
        ASSERT_OK(feed(run.fifo.get(), docs, "/usr/bin/asleep", deadline));
        EXPECT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

        // The monitor released its connection on the way out; a second
        // release would end the sanitized host here instead of a clean exit.
        end_reader(run, deadline);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

TEST_F(NotifySleep, WithoutASystemBusTheMonitorLogsOnceAndTheReaderCarriesOn)
{
    Rig rig;
    ASSERT_OK(start_rig(rig));
    rig.system_bus_address = "unix:path=" + rig.dir + "/no-system-bus";
    ASSERT_OK(make_notify_fifo());
    const auto deadline = rig::deadline_in(patience);
    rig::ChildProcess host;
    ASSERT_OK(start_host(rig, {}, false, host));
    rig::unique_fd fifo;
    ASSERT_OK(open_fifo_writer(deadline, fifo));

    // The monitor's line comes from its own thread, at a time of its choosing.
    EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), host.pid),
        (std::vector<Logged>{
            {user_err, std::string("notify(100)-> Failed to connect to system bus: ") + std::strerror(ENOENT)}}));
    const std::string r = record(docs, "/usr/bin/editor");
    ASSERT_OK(rig::write_all(fifo.get(), r.data(), r.size(), deadline));
    EXPECT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);
    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

} // namespace
