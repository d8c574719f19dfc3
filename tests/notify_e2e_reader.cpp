// The plug-in's entry point and reader, driven through the host program:
// what KRMRegister returns, which records are handed on whatever the writer
// does (stops inside a record, is killed in one, is no file at all), and the
// log line of a missing notification file as the bytes arrive on /dev/log.
#include "notify_e2e/rig_test.h"

#include "log_socket.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyReader = RigTest;

TEST_F(NotifyReader, AMissingNotificationFileFailsRegistrationWithOneLogLine)
{
    Rig rig;
    ASSERT_OK(start_rig(rig));

    const auto run = run_host(rig);
    ASSERT_OK(run.status);
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

TEST_F(NotifyReader, ARegularFileIsReadWholeRecordByWholeRecordUntilItEnds)
{
    for_each_row(file_cases(), [](const FileCase& c) {
        Rig rig;
        ASSERT_OK(start_rig(rig));
        ASSERT_OK(write_notify_file(c.bytes));

        const auto run = run_host(rig);
        ASSERT_OK(run.status);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned 0"});
        // Notify is synchronous, so every call has been recorded once the host has ended.
        EXPECT_EQ(summaries(recorded_calls(rig)), c.expected_summaries);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

// A writer that stops inside a record, for as long as it likes: the reader
// waits in its read for the rest and hands the record on once, whole. The
// stops fall on each edge a reader could get wrong.
TEST_F(NotifyReader, ARecordWrittenInTwoPiecesWithAPauseBetweenIsHandedOnWholeOnce)
{
    const size_t stops[] = {1, 511, 512, 513, 1023};
    Rig rig;
    ASSERT_OK(start_rig(rig));
    ASSERT_OK(make_notify_fifo());
    rig::ChildProcess host;
    ASSERT_OK(start_host(rig, {}, false, host));
    const auto deadline = rig::deadline_in(patience);
    rig::unique_fd fifo;
    ASSERT_OK(open_fifo_writer(deadline, fifo));

    std::vector<std::string> expected;
    for (const size_t stop : stops) {
        SCOPED_TRACE("stop after byte " + std::to_string(stop));
        const std::string program = "/usr/bin/paused-at-" + std::to_string(stop);
        const std::string r = record("/home/ann/Pictures/holiday.jpg", program);
        ASSERT_OK(rig::write_all(fifo.get(), r.data(), stop, deadline));
        ASSERT_OK(wait_until_reader_idle(host.pid, fifo.get(), deadline));
        EXPECT_EQ(summaries(recorded_calls(rig)), expected) << "a piece of a record was handed on";

        ASSERT_OK(rig::write_all(fifo.get(), r.data() + stop, r.size() - stop, deadline));
        expected.push_back(program + files_suffix);
        ASSERT_OK(wait_until_reader_idle(host.pid, fifo.get(), deadline));
        EXPECT_EQ(summaries(wait_for_calls(rig, expected.size(), deadline)), expected);
    }
    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
    EXPECT_EQ(summaries(recorded_calls(rig)), expected) << "a record was handed on twice";
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

// The writer is a process of its own (cat, copying what the test gives it
// into the FIFO), killed after one and a half records: the reader, waiting
// for the rest of the second, sees the end of the file.
TEST_F(NotifyReader, AWriterKilledMidRecordCostsOnlyThatRecordAndRegistrationReturnsZero)
{
    Rig rig;
    ASSERT_OK(start_rig(rig));
    ASSERT_OK(make_notify_fifo());
    rig::ChildProcess host;
    ASSERT_OK(start_host(rig, {}, false, host));
    rig::ChildProcess writer;
    rig::SpawnOptions writer_options;
    writer_options.pipe_stdin = true;
    ASSERT_OK(rig::spawn({"sh", "-c", std::string("exec cat >") + notify_file}, writer_options, writer));
    const auto deadline = rig::deadline_in(patience);

    const std::string bytes = record("/home/ann/Videos/a.mkv", "/usr/bin/whole")
        + record("/home/ann/Videos/b.mkv", "/usr/bin/half").substr(0, 700);
    ASSERT_OK(rig::write_all(writer.stdin_fd.get(), bytes.data(), bytes.size(), deadline));
    // cat has passed on all it was given once it waits for more, and the
    // host has taken all of it once it waits too.
    ASSERT_OK(wait_until_reader_idle(writer.pid, writer.stdin_fd.get(), deadline));
    ASSERT_OK(wait_until_blocked_in_read(host.pid, deadline));
    ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);

    rig::kill_and_reap(writer, SIGKILL);
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
    EXPECT_EQ(summaries(recorded_calls(rig)), std::vector<std::string>{std::string("/usr/bin/whole") + files_suffix});
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

// A notification file that opens but cannot be read (a directory: every
// read fails with EISDIR) ends the reader like an end of file does.
TEST_F(NotifyReader, AReadErrorEndsRegistrationWithZeroAndNothingNotifiedOrLogged)
{
    Rig rig;
    ASSERT_OK(start_rig(rig));
    ASSERT_EQ(::mkdir(notify_file, 0755), 0) << std::strerror(errno);

    const auto run = run_host(rig);
    ::rmdir(notify_file);
    ASSERT_OK(run.status);
    EXPECT_EQ(run.exit_status, 0);
    EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned 0"});
    EXPECT_TRUE(recorded_calls(rig).empty());
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

} // namespace
