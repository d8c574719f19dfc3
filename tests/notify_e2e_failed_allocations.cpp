// The reader's allocations and closes failed in turn by the allocation
// preload, and the reader's thread cancelled wherever it waits: what it
// held is released either way.
#include "notify_e2e/failure_cells.h"
#include "notify_e2e/rig_test.h"
#include "notify_e2e/strace_traces.h"
#include "notify_e2e/thread_probes.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyFailedAllocations = RigTest;

const std::string docs = "/home/ann/Documents/report.odt";

#ifdef ALLOCATION_FAILURE_PRELOAD
// What the preload fails on the reader's thread: each allocation, and each
// close that sd-bus makes, done and then reported as failed (a close that
// strace fails never happens, which no kernel does).
struct PreloadFault {
    const char* name;
    const char* variable;
    const char* counted; // in the preload's report
    int error;
};

TEST_F(NotifyFailedAllocations, EachAllocationAndCloseOfTheReaderFailedInTurnIsLoggedOrSurvived)
{
    if (const auto why = failure_tables_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    const PreloadFault faults[] = {
        {"allocation", "TOLVANE_FAIL_ALLOCATION_AFTER_DLOPEN", "allocations: ", ENOMEM},
        {"close", "TOLVANE_FAIL_CLOSE_AFTER_DLOPEN", "closes: ", EIO},
    };
    for_each_row(faults, [&](const PreloadFault& fault) {
        const auto environment = [&](const Rig& rig, unsigned long n) {
            return std::vector<std::string>{std::string("LD_PRELOAD=") + ALLOCATION_FAILURE_PRELOAD,
                fault.variable + ("=" + std::to_string(n)), "TOLVANE_ALLOCATION_REPORT=" + rig.dir + "/report"};
        };
        unsigned long count = 0;
        {
            Rig rig;
            ASSERT_OK(start_rig(rig));
            CellRun run;
            ASSERT_OK(run_cell(rig, environment(rig, ~0ul), {}, run));
            judge(run, Step::none, 0);
            const std::string report = file_text(rig.dir + "/report");
            const auto at = report.find(fault.counted);
            ASSERT_NE(at, std::string::npos) << report;
            count = std::stoul(report.substr(at + std::strlen(fault.counted)));
        }
        ASSERT_GT(count, 0u);
        std::map<std::string, int> outcomes;
        for (unsigned long n = 1; n <= count; ++n) {
            SCOPED_TRACE(fault.name + (" #" + std::to_string(n)));
            bool loaders = false;
            {
                Rig rig;
                ASSERT_OK(start_rig(rig));
                CellRun run;
                ASSERT_OK(run_cell(rig, environment(rig, n), {}, run));
                // The stack comes first, when a call failed; the counts last.
                const std::string report = file_text(rig.dir + "/report");
                const Step step = report.starts_with("allocations: ") ? Step::none : step_of("", report);
                SCOPED_TRACE(report);
                // Thread-local storage set up at a first access: the dynamic
                // loader ends the process, whoever asked.
                loaders = failed_for_the_loader(report);
                if (loaders)
                    EXPECT_EQ(run.exit_status, std::optional<int>(127));
                else
                    judge(run, step, fault.error);
                ++outcomes[loaders          ? std::string("the loader's")
                        : run.lines.empty() ? std::string("survived")
                                            : run.lines.front().message.substr(0, 11)];
            }
            if (!loaders)
                EXPECT_TRUE(hosts_wrote_no_stderr());
            else if (const auto texts = take_host_stderr(); texts.size() == 1)
                EXPECT_NE(texts.front().find("thread-local"), std::string::npos) << texts.front();
            else
                ADD_FAILURE() << testing::PrintToString(texts);
        }
        std::cout << count << " cells of " << fault.name << "s failed in turn:";
        for (const auto& [outcome, n] : outcomes)
            std::cout << " " << outcome << " " << n << ";";
        std::cout << "\n";
    });
}
#endif

// Fills the log socket's queue, so that the next line sent blocks.
rig::Status fill_log(rig::unique_fd& filler)
{
    filler = rig::unique_fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un log{};
    log.sun_family = AF_UNIX;
    std::strcpy(log.sun_path, "/dev/log");
    if (!filler || ::connect(filler.get(), reinterpret_cast<const sockaddr*>(&log), sizeof log) != 0)
        return rig::Status::failed_errno("connect /dev/log");
    constexpr char line[] = "<14>filler";
    while (::send(filler.get(), line, sizeof line - 1, MSG_DONTWAIT) > 0) { }
    if (errno != EAGAIN)
        return rig::Status::failed_errno("filling /dev/log");
    return rig::Status::ok();
}

// A host may cancel the thread it lent the reader, wherever it waits: the
// unwinding closes what the reader held and frees the registration for the
// next one, and no call goes out twice. Cancelled while it logs, inside
// the log sink, the reader leaves the line unsent and the log's socket open.
struct CancelCase {
    const char* name;
    ServerMode mode;
    std::vector<std::string> environment;
    long waits_in; // the system call the reader is cancelled in
    bool log_full; // and left open: the log's descriptor, beside the monitor's
};

TEST_F(NotifyFailedAllocations, AReaderCancelledWhileItWaitsReleasesWhatItHeld)
{
    if (const auto why = cancellation_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    ASSERT_GT(monitor_descriptors(), 0) << "a host run without faults went wrong";
    const CancelCase cases[] = {
        {"waiting for a record", ServerMode::answer, {}, SYS_read, false},
        {"waiting for the answer to Notify", ServerMode::silent, {"SYSTEMD_BUS_TIMEOUT=120s"}, SYS_ppoll, false},
        {"logging a refused Notify to a full log", ServerMode::fail, {}, SYS_sendto, true},
    };
    for_each_row(cases, [&](const CancelCase& c) {
        Rig rig;
        ASSERT_OK(start_rig(rig, c.mode));
        const auto deadline = rig::deadline_in(patience);
        ASSERT_OK(make_notify_fifo());
        Logind logind;
        ASSERT_OK(start_logind(rig, logind, deadline));
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, {"--count-descriptors", "--while-reading", "cancel"}, true, host, c.environment));
        rig::unique_fd fifo;
        ASSERT_OK(open_fifo_writer(deadline, fifo));
        ASSERT_OK(wait_subscribed(logind, deadline));
        rig::unique_fd filler;
        if (c.log_full) {
            ASSERT_OK(fill_log(filler));
        }
        ASSERT_OK(feed(fifo.get(), docs, "/usr/bin/editor", deadline));
        ASSERT_EQ(wait_for_calls(rig, 1, deadline).size(), 1u);
        if (c.waits_in == SYS_read) {
            ASSERT_OK(wait_for_file_reader(host.pid, fifo.get(), deadline));
        } else {
            ASSERT_OK(wait_for_thread_in(host.pid, c.waits_in, deadline));
        }
        ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister cancelled"));
        for (const auto& datagram : drain_log(rig))
            EXPECT_TRUE(datagram.ends_with("filler")) << datagram;
        // The second registration opens the file anew (the writer is still
        // there); the repeat of the first key stays silent: it was sent once.
        ASSERT_OK(wait_for_file_reader(host.pid, fifo.get(), deadline));
        ASSERT_OK(feed(fifo.get(), docs, "/usr/bin/editor", deadline));
        ASSERT_OK(wait_for_file_reader(host.pid, fifo.get(), deadline));
        fifo.reset();
        EXPECT_EQ(rig::read_rest(host, deadline),
            "second KRMRegister returned 0\ndescriptors opened: "
                + std::to_string(monitor_descriptors() + (c.log_full ? 1 : 0)) + "\n");
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(recorded_calls(rig).size(), 1u);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

} // namespace
