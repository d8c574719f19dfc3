// The host under valgrind's memcheck through an ordinary day of the plug-in:
// records notified, filtered and rate-limited, a sleep and a resume, then the
// system bus going away so that the monitor ends and releases its
// connection. An invalid access, or a block of memory the run lost for good,
// makes valgrind end the host with status 1.
#include "notify_e2e_rig.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using namespace e2e;

std::string file_text(const std::string& path)
{
    std::ifstream f(path);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST(NotifyMemcheck, NotificationsASleepAResumeAndALostSystemBusLeaveMemcheckClean)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig), "");
    const std::string report = rig.dir + "/memcheck.log";
    rig.host_wrapper = {VALGRIND_PROGRAM, "--quiet", "--error-exitcode=1", "--leak-check=full",
        "--errors-for-leak-kinds=definite", "--log-file=" + report};
    ASSERT_EQ(make_notify_fifo(), "");
    const auto deadline = rig::deadline_in(patience);
    Logind logind;
    ASSERT_EQ(start_logind(rig, logind, deadline), "");
    rig::ChildProcess host;
    ASSERT_EQ(start_host(rig, {}, false, host), "");
    rig::unique_fd fifo = open_fifo_writer(deadline);
    ASSERT_TRUE(fifo);
    ASSERT_TRUE(wait_subscribed(logind, deadline));

    for (const auto& [object, program] : std::vector<std::pair<std::string, std::string>>{
             {"/dev/video1", "/usr/bin/camapp"}, {"/home/ann/Documents/a.odt", "/usr/bin/editor"},
             {"/home/ann/Documents/a.odt", "/usr/bin/editor"}, {"/etc/shadow", "/usr/bin/cat"}})
        ASSERT_TRUE(feed(fifo.get(), object, program, deadline));
    ASSERT_EQ(wait_for_calls(rig, 2, deadline).size(), 2u);

    ASSERT_TRUE(logind.send("true bad", deadline));
    ASSERT_EQ(wait_for_log(rig, 2, deadline).size(), 2u);
    ASSERT_TRUE(feed(fifo.get(), "/home/ann/Pictures/b.jpg", "/usr/bin/viewer", deadline));
    ASSERT_TRUE(wait_until_reader_idle(host.pid, fifo.get(), deadline));
    ASSERT_TRUE(logind.send("false bad", deadline));
    ASSERT_EQ(wait_for_log(rig, 2, deadline).size(), 2u);
    ASSERT_TRUE(feed(fifo.get(), "/home/ann/Pictures/b.jpg", "/usr/bin/viewer", deadline));
    ASSERT_EQ(wait_for_calls(rig, 3, deadline).size(), 3u);

    rig::kill_and_reap(rig.system_bus.daemon, SIGKILL);
    EXPECT_EQ(logged_lines(wait_for_log(rig, 1, deadline), host.pid),
        (std::vector<Logged>{
            {user_err, std::string("notify(124)-> Failed to process bus: ") + std::strerror(ECONNRESET)}}));

    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0)) << file_text(report);
    EXPECT_EQ(recorded_calls(rig).size(), 3u);
}

} // namespace
