// The plug-in's entry points and reader, driven through the host program:
// what KRMRegister returns, which records are handed on, and the log line
// of a missing notification file as the bytes arrive on /dev/log.
#include "notify_e2e_rig.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace e2e;

TEST(NotifyReader, AMissingNotificationFileFailsRegistrationWithOneLogLine)
{
    Rig rig;
    ASSERT_EQ(start_rig(rig), "");

    const auto run = run_host(rig);
    ASSERT_EQ(run.error, "");
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned -1"});

    const auto datagrams = drain_log(rig);
    ASSERT_EQ(datagrams.size(), 1u);
    const auto line = rig::parse_syslog_datagram(datagrams[0]);
    ASSERT_TRUE(line) << datagrams[0];
    EXPECT_EQ(line->priority, user_err);
    EXPECT_EQ(line->ident, ident_of(run.pid));
    EXPECT_EQ(line->message, "notify(302)-> open /sys/kernel/security/tolvane/.notify failed!");
    EXPECT_TRUE(recorded_calls(rig).empty());
}

struct FileCase {
    const char* name;
    std::string bytes;
    std::vector<std::string> expected_summaries;
};

std::vector<FileCase> file_cases()
{
    const std::string docs = "/home/ann/Documents/plan.odt";
    const std::string full_program = "/usr/bin/" + std::string(503, 'p'); // 512 bytes, no NUL
    return {
        {"empty file", "", {}},
        {"two and a half records",
            record(docs, "/usr/bin/one") + record(docs, "/usr/bin/two") + record(docs, "/usr/bin/three").substr(0, 512),
            {std::string("/usr/bin/one") + files_suffix, std::string("/usr/bin/two") + files_suffix}},
        {"a program text without NUL ends at its field", record(docs, full_program) + record(docs, "/usr/bin/next"),
            {full_program + files_suffix, std::string("/usr/bin/next") + files_suffix}},
        {"a path without NUL ends at its field",
            record("/home/ann/Documents/" + std::string(492, 'd'), "/usr/bin/long-path"),
            {std::string("/usr/bin/long-path") + files_suffix}},
        {"an empty path is handed on and filtered out", record("", "/usr/bin/nothing") + record(docs, "/usr/bin/after"),
            {std::string("/usr/bin/after") + files_suffix}},
    };
}

TEST(NotifyReader, ARegularFileIsReadWholeRecordByWholeRecordUntilItEnds)
{
    for (const auto& c : file_cases()) {
        SCOPED_TRACE(c.name);
        Rig rig;
        ASSERT_EQ(start_rig(rig), "");
        ASSERT_EQ(write_notify_file(c.bytes), "");

        const auto run = run_host(rig);
        ASSERT_EQ(run.error, "");
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned 0"});
        // Notify is synchronous, so every call has been recorded once the host has ended.
        EXPECT_EQ(summaries(recorded_calls(rig)), c.expected_summaries);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    }
}

struct ConcurrentCase {
    const char* name;
    const char* action;
    const char* expected_line;
};

// The first call stays in its reader on the FIFO while the main thread of the
// host makes the second call; the reader must go on serving records after it.
TEST(NotifyReader, ACallWhileTheReaderRunsLeavesTheReaderServing)
{
    const ConcurrentCase cases[] = {
        {"second registration is refused", "register", "second KRMRegister returned -1"},
        {"unregistration only reports success", "unregister", "KRMUnregister returned 0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        ASSERT_EQ(start_rig(rig), "");
        ASSERT_EQ(make_notify_fifo(), "");
        rig::ChildProcess host;
        ASSERT_EQ(start_host(rig, {"--while-reading", c.action}, true, host), "");
        const auto deadline = rig::deadline_in(patience);

        rig::unique_fd fifo = open_fifo_writer(deadline);
        ASSERT_TRUE(fifo) << "the plug-in never opened the notification file";
        const std::string first = record("/home/ann/Desktop/todo.txt", "/usr/bin/first");
        ASSERT_TRUE(rig::write_all(fifo.get(), first.data(), first.size(), deadline));
        ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

        ASSERT_TRUE(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>(c.expected_line));

        // The repeat proves the map survived; the new key proves the reader runs.
        const std::string more = first + record("/home/ann/Desktop/todo.txt", "/usr/bin/second");
        ASSERT_TRUE(rig::write_all(fifo.get(), more.data(), more.size(), deadline));
        EXPECT_EQ(wait_for_calls(rig, 2, deadline).size(), 2u);
        fifo.reset();
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(summaries(recorded_calls(rig)),
            (std::vector<std::string>{
                std::string("/usr/bin/first") + files_suffix, std::string("/usr/bin/second") + files_suffix}));
    }
}

} // namespace
