// What the plug-in does when a notification cannot reach the user: the log
// line it writes (the exact bytes on /dev/log), the rate limit that still
// holds for the failed key, and the reader going on with the next record.
#include "notify_e2e_rig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace e2e;

const std::string docs = "/home/ann/Documents/report.odt";

TEST(NotifyFailures, WithoutAUserBusEachNewKeyIsLoggedOnceAndItsRepeatsStaySilent)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig, ServerMode::answer, UserBus::missing), "");
    ASSERT_EQ(write_notify_file(record(docs, "/usr/bin/editor") + record(docs, "/usr/bin/editor")
                  + record("/dev/video0", "/usr/bin/editor")),
        "");

    const auto run = run_host(rig);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned 0"});
    // Nothing listens on the bus socket's path.
    const Logged expected{
        user_err, std::string("notify(254)-> Failed to connect to user bus: ") + std::strerror(ENOENT) + "\n"};
    EXPECT_EQ(logged_lines(drain_log(rig), run.pid), (std::vector<Logged>{expected, expected}));
}

struct ServerFailureCase {
    const char* name;
    ServerMode mode;
    size_t calls_seen_by_server;
    std::vector<Logged> lines;
};

TEST(NotifyFailures, AFailedNotifyIsLoggedAndTheReaderGoesOnWithTheNextRecord)
{
    const ServerFailureCase cases[] = {
        {"the server answers with an error", ServerMode::fail, 2,
            {{user_err, "notify(283)-> Failed to Notify: the test notification server refuses this notification\n"},
                {user_err,
                    "notify(283)-> Failed to Notify: the test notification server refuses this notification\n"}}},
        // The server drops its connection on the first call; the bus answers
        // for it at once, and the second call finds nobody owning the name.
        {"the server vanishes", ServerMode::vanish, 1,
            {{user_err,
                 "notify(283)-> Failed to Notify: Message recipient disconnected from message bus without "
                 "replying\n"},
                {user_err,
                    "notify(283)-> Failed to Notify: The name org.freedesktop.Notifications was not provided by "
                    "any .service files\n"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        ASSERT_EQ(start_rig(rig, c.mode), "");
        // The repeat of the first key comes after the failure and stays silent.
        ASSERT_EQ(write_notify_file(record(docs, "/usr/bin/editor") + record(docs, "/usr/bin/editor")
                      + record("/dev/video1", "/usr/bin/camapp") + record(docs, "/usr/bin/editor")),
            "");

        const auto run = run_host(rig);
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned 0"});
        EXPECT_EQ(recorded_calls(rig).size(), c.calls_seen_by_server);
        EXPECT_EQ(logged_lines(drain_log(rig), run.pid), c.lines);
    }
}

} // namespace
