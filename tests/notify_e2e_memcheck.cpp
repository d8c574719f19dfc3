// The host under valgrind's memcheck through an ordinary day of the plug-in:
// records notified, filtered and rate-limited, a sleep and a resume, then the
// system bus going away so that the monitor ends and releases its
// connection. An invalid access, or a block of memory the run lost for good,
// makes valgrind end the host with status 1.
#include "notify_e2e/rig_test.h"

#include "file_text.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyMemcheck = RigTest;

TEST_F(NotifyMemcheck, NotificationsASleepAResumeAndALostSystemBusLeaveMemcheckClean)
{
    Rig rig;
    ASSERT_OK(start_rig(rig));
    const std::string report = rig.dir + "/memcheck.log";
    rig.host_wrapper = {VALGRIND_PROGRAM, "--quiet", "--error-exitcode=1", "--leak-check=full",
        "--errors-for-leak-kinds=definite", "--log-file=" + report};
    const auto deadline = rig::deadline_in(patience);
    Subscribed run;
    ASSERT_OK(start_subscribed(rig, run, deadline));

    for (const auto& [object, program] : std::vector<std::pair<std::string, std::string>>{
             {"/dev/video1", "/usr/bin/camapp"}, {"/home/ann/Documents/a.odt", "/usr/bin/editor"},
             {"/home/ann/Documents/a.odt", "/usr/bin/editor"}, {"/etc/shadow", "/usr/bin/cat"}})
        ASSERT_OK(feed(run.fifo.get(), object, program, deadline));
    ASSERT_EQ(wait_for_calls(rig, 2, deadline).size(), 2u);

    ASSERT_OK(run.logind.send("true bad", deadline));
    ASSERT_EQ(wait_for_log(rig, 2, deadline).size(), 2u);
    ASSERT_OK(feed(run.fifo.get(), "/home/ann/Pictures/b.jpg", "/usr/bin/viewer", deadline));
    ASSERT_OK(wait_until_reader_idle(run.host.pid, run.fifo.get(), deadline));
    ASSERT_OK(run.logind.send("false bad", deadline));
    ASSERT_EQ(wait_for_log(rig, 2, deadline).size(), 2u);
    ASSERT_TRUE(feed_until_notified(rig, run, "/home/ann/Pictures/b.jpg", deadline).seen);

    rig::kill_and_reap(rig.system_bus.daemon, SIGKILL);
    EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), run.host.pid),
        (std::vector<Logged>{
            {user_err, std::string("notify(124)-> Failed to process bus: ") + std::strerror(ECONNRESET)}}));

    run.fifo.reset();
    EXPECT_EQ(rig::read_line(run.host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(run.host, deadline), std::optional<int>(0)) << rig::file_text(report);
    EXPECT_EQ(recorded_calls(rig).size(), 3u);
}

} // namespace
