// The sleep monitor seen from outside: logind's PrepareForSleep on the
// private system bus silences notifications and a resume brings them back,
// with the info lines as they arrive on /dev/log; look-alike signals from
// anyone else change nothing; without a system bus, or when it goes away,
// the monitor logs once and the reader is unaffected.
#include "notify_e2e_rig.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace e2e;

const std::string docs = "/home/ann/Documents/report.odt";
const std::string not_a_boolean
    = std::string("notify(77)-> on_set_notify_onoff sd_bus_message_read failed: ") + std::strerror(ENXIO);
const Logged sleeping{user_info, "notify(81)-> on_set_notify_onoff: PrepareForSleep true"};
const Logged resumed{user_info, "notify(81)-> on_set_notify_onoff: PrepareForSleep false"};
const Logged marker{user_err, not_a_boolean};

// Ends the reader and checks that the host ran to a clean end.
void end_reader(Subscribed& run, rig::Deadline deadline)
{
    run.fifo.reset();
    EXPECT_EQ(rig::read_line(run.host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(run.host, deadline), std::optional<int>(0));
}

TEST(NotifySleep, PrepareForSleepSilencesNotificationsUntilTheMachineHasResumed)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig), "");
    const auto deadline = rig::deadline_in(patience);
    Subscribed run;
    ASSERT_EQ(start_subscribed(rig, run, deadline), "");
    const pid_t host_pid = run.host.pid;

    ASSERT_TRUE(feed(run.fifo.get(), docs, "/usr/bin/awake", deadline));
    ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

    ASSERT_TRUE(run.logind.send("true bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), host_pid), (std::vector<Logged>{sleeping, marker}));
    ASSERT_TRUE(feed(run.fifo.get(), docs, "/usr/bin/asleep", deadline));
    ASSERT_TRUE(wait_until_reader_idle(host_pid, run.fifo.get(), deadline));

    // A second sleep while silenced is logged again and keeps silence.
    ASSERT_TRUE(run.logind.send("true bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), host_pid), (std::vector<Logged>{sleeping, marker}));
    ASSERT_TRUE(feed(run.fifo.get(), docs, "/usr/bin/asleep", deadline));
    ASSERT_TRUE(wait_until_reader_idle(host_pid, run.fifo.get(), deadline));

    ASSERT_TRUE(run.logind.send("false bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), host_pid), (std::vector<Logged>{resumed, marker}));
    // The silenced records left no entry in the rate limit: the same key is
    // notified now, not held back for a minute.
    ASSERT_TRUE(feed(run.fifo.get(), docs, "/usr/bin/asleep", deadline));
    ASSERT_EQ(wait_for_calls(rig, 2, deadline).size(), 2u);

    end_reader(run, deadline);
    EXPECT_EQ(summaries(recorded_calls(rig)),
        (std::vector<std::string>{
            std::string("/usr/bin/awake") + files_suffix, std::string("/usr/bin/asleep") + files_suffix}));
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

TEST(NotifySleep, LookAlikeSignalsFromAnotherSenderPathInterfaceOrMemberChangeNothing)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig), "");
    const auto deadline = rig::deadline_in(patience);
    Subscribed run;
    ASSERT_EQ(start_subscribed(rig, run, deadline), "");

    // Each one says "about to sleep"; the marker comes after all of them.
    ASSERT_TRUE(run.logind.send("stranger other-path other-interface other-member bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), run.host.pid), std::vector<Logged>{marker});
    ASSERT_TRUE(feed(run.fifo.get(), docs, "/usr/bin/editor", deadline));
    ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

    end_reader(run, deadline);
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

TEST(NotifySleep, WhenTheSystemBusGoesAwayTheMonitorLogsItsEndAndTheReaderCarriesOn)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig), "");
    const auto deadline = rig::deadline_in(patience);
    Subscribed run;
    ASSERT_EQ(start_subscribed(rig, run, deadline), "");

    rig::kill_and_reap(rig.system_bus.daemon, SIGKILL);
    // The wait wakes on the hang-up; processing finds the connection reset.
    EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), run.host.pid),
        (std::vector<Logged>{
            {user_err, std::string("notify(124)-> Failed to process bus: ") + std::strerror(ECONNRESET)}}));
    ASSERT_TRUE(feed(run.fifo.get(), docs, "/usr/bin/editor", deadline));
    ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

    // The monitor released its connection on the way out; a second release
    // would end the sanitized host here instead of a clean exit.
    end_reader(run, deadline);
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

TEST(NotifySleep, WithoutASystemBusTheMonitorLogsOnceAndTheReaderCarriesOn)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig), "");
    rig.system_bus_address = "unix:path=" + rig.dir + "/no-system-bus";
    ASSERT_EQ(make_notify_fifo(), "");
    const auto deadline = rig::deadline_in(patience);
    rig::ChildProcess host;
    ASSERT_EQ(start_host(rig, {}, false, host), "");
    rig::unique_fd fifo = open_fifo_writer(deadline);
    ASSERT_TRUE(fifo);

    // The monitor's line comes from its own thread, at a time of its choosing.
    EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), host.pid),
        (std::vector<Logged>{
            {user_err, std::string("notify(100)-> Failed to connect to system bus: ") + std::strerror(ENOENT)}}));
    const std::string r = record(docs, "/usr/bin/editor");
    ASSERT_TRUE(rig::write_all(fifo.get(), r.data(), r.size(), deadline));
    EXPECT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);
    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

} // namespace
