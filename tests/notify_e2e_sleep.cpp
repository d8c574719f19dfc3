// The sleep monitor seen from outside: logind's PrepareForSleep on the
// private system bus silences notifications and a resume brings them back,
// with the info lines as they arrive on /dev/log; without a system bus the
// monitor logs once and the reader is unaffected.
#include "notify_e2e_rig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace e2e;

// Sends signals as logind; "bad" is a PrepareForSleep without a boolean,
// which the handler refuses with a log line. The monitor handles signals
// one after the other, so that line also tells that every signal before it
// has been handled, the pause after a resume included.
struct Logind {
    rig::ChildProcess process;

    bool send(const std::string& commands, rig::Deadline deadline)
    {
        for (size_t start = 0; start < commands.size();) {
            const size_t end = commands.find(' ', start);
            const std::string command = commands.substr(start, end - start);
            const std::string line = command + "\n";
            if (!rig::write_all(process.stdin_fd.get(), line.data(), line.size(), deadline)
                || rig::read_line(process, deadline) != "sent " + command)
                return false;
            start = end == std::string::npos ? commands.size() : end + 1;
        }
        return true;
    }
};

const std::string docs = "/home/ann/Documents/report.odt";
const std::string not_a_boolean
    = std::string("notify(77)-> on_set_notify_onoff sd_bus_message_read failed: ") + std::strerror(ENXIO);

TEST(NotifySleep, PrepareForSleepSilencesNotificationsUntilTheMachineHasResumed)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig), "");
    ASSERT_EQ(make_notify_fifo(), "");
    const auto deadline = rig::deadline_in(patience);

    Logind logind;
    rig::SpawnOptions options;
    options.pipe_stdin = true;
    options.environment = {"DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address};
    ASSERT_EQ(rig::spawn({TOLVANE_TEST_LOGIND}, options, logind.process), "");
    ASSERT_EQ(rig::read_line(logind.process, deadline), std::optional<std::string>("monitoring"));

    rig::ChildProcess host;
    ASSERT_EQ(start_host(rig, {}, false, host), "");
    const pid_t host_pid = host.pid;
    rig::unique_fd fifo = open_fifo_writer(deadline);
    ASSERT_TRUE(fifo);
    ASSERT_EQ(rig::read_line(logind.process, deadline), std::optional<std::string>("subscribed"));
    auto feed = [&](const std::string& program) {
        const std::string r = record(docs, program);
        ASSERT_TRUE(rig::write_all(fifo.get(), r.data(), r.size(), deadline));
    };

    feed("/usr/bin/awake");
    ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

    ASSERT_TRUE(logind.send("true bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), host_pid),
        (std::vector<Logged>{
            {user_info, "notify(81)-> on_set_notify_onoff: PrepareForSleep true"}, {user_err, not_a_boolean}}));
    feed("/usr/bin/asleep");
    ASSERT_TRUE(wait_until_reader_idle(host_pid, fifo.get(), deadline));

    ASSERT_TRUE(logind.send("false bad", deadline));
    EXPECT_EQ(logged_lines(wait_for_log(rig, 2, deadline), host_pid),
        (std::vector<Logged>{
            {user_info, "notify(81)-> on_set_notify_onoff: PrepareForSleep false"}, {user_err, not_a_boolean}}));
    feed("/usr/bin/resumed");
    ASSERT_EQ(wait_for_calls(rig, 2, deadline).size(), 2u);

    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
    EXPECT_EQ(summaries(recorded_calls(rig)),
        (std::vector<std::string>{
            std::string("/usr/bin/awake") + files_suffix, std::string("/usr/bin/resumed") + files_suffix}));
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
