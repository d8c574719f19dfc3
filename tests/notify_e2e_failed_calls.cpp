// Every system call of the plug-in failed in turn in a running host, by
// strace attached to it: each of the reader's, then each of the sleep
// monitor's, each judged from the failed call's stack.
#include "notify_e2e/failure_cells.h"
#include "notify_e2e/rig_test.h"
#include "notify_e2e/strace_traces.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyFailedCalls = RigTest;

struct SyscallCell {
    std::string call;
    int n; // strace's when=
    int error;
    ServerMode mode;
};

TEST_F(NotifyFailedCalls, EachSystemCallOfTheReaderFailedInTurnIsLoggedOrSurvived)
{
    if (const auto why = failure_tables_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    std::vector<SyscallCell> cells;
    {
        Rig rig;
        ASSERT_OK(start_rig(rig));
        CellRun run;
        const std::string trace = rig.dir + "/trace";
        ASSERT_OK(run_cell(rig, {ptrace_asan_options()}, {"-qq", "-k", "-o", trace}, run));
        judge(run, Step::none, 0);
        for (const auto& [name, count] : plugin_calls(file_text(trace)))
            for (int n = 1; n <= count; ++n)
                for (const int error : errors_for(name))
                    cells.push_back({name, n, error, ServerMode::answer});
    }
    // Whether the reader waits for an answer depends on how fast it comes;
    // from a server that takes its time, it always does.
    for (const int error : errors_for("ppoll"))
        cells.push_back({"ppoll", 1, error, ServerMode::slow});
    std::map<std::string, int> outcomes;
    for (const auto& cell : cells) {
        const std::string inject
            = "inject=" + cell.call + ":error=" + strerrorname_np(cell.error) + ":when=" + std::to_string(cell.n);
        SCOPED_TRACE(inject + (cell.mode == ServerMode::slow ? ", the server answering late" : ""));
        Rig rig;
        ASSERT_OK(start_rig(rig, cell.mode));
        const std::string trace = rig.dir + "/trace";
        CellRun run;
        ASSERT_OK(run_cell(rig, {ptrace_asan_options()}, {"-qq", "-y", "-k", "-o", trace, "-e", inject}, run));
        const auto [call, stack] = injected_call(file_text(trace));
        const Step step = call.empty() ? Step::none : step_of(call, stack);
        SCOPED_TRACE(call + "\n" + stack);
        if (cell.mode == ServerMode::slow) {
            // A wait that fails ends the call, logged; one interrupted goes on.
            EXPECT_EQ(step, Step::notify) << "the reader did not wait for the answer";
            EXPECT_EQ(run.lines.size(), cell.error == EINTR ? 0u : 1u);
        }
        judge(run, step, cell.error);
        ++outcomes[(run.lines.empty() ? std::string("survived") : run.lines.front().message.substr(0, 11))];
        EXPECT_TRUE(hosts_wrote_no_stderr());
    }
    std::cout << cells.size() << " cells of system calls failed in turn:";
    for (const auto& [outcome, n] : outcomes)
        std::cout << " " << outcome << " " << n << ";";
    std::cout << "\n";
}

TEST_F(NotifyFailedCalls, EachSystemCallOfTheMonitorFailedInTurnIsLoggedOrSurvived)
{
    if (const auto why = failure_tables_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    // The monitor's calls of a run without faults, by name, but those of
    // names the reader's thread makes too after strace attached: strace
    // counts per thread and would fail both.
    std::map<std::string, int> calls;
    {
        Rig rig;
        ASSERT_OK(start_rig(rig));
        CellRun run;
        const std::string trace = rig.dir + "/trace";
        ASSERT_OK(run_monitor_cell(rig, {"-qq", "-k", "-ff", "-o", trace}, run));
        EXPECT_EQ(run.lines, std::vector<Logged>{});
        const auto monitor = monitor_traces(trace, run.pid);
        ASSERT_EQ(monitor.size(), 1u);
        calls = plugin_calls(monitor.front());
        for (const auto& [name, count] : plugin_calls(file_text(trace + "." + std::to_string(run.pid))))
            calls.erase(name);
        const auto reader = lines_of(file_text(trace + "." + std::to_string(run.pid)));
        for (const auto& line : reader)
            if (const auto paren = line.find('('); paren != std::string::npos && !line.starts_with(" >"))
                calls.erase(line.substr(0, paren));
    }
    ASSERT_GT(calls.count("connect"), 0u) << testing::PrintToString(calls);
    // The wait of the event loop never ends in a run without faults, so its
    // trace never shows it whole: one past the waits shown is that one.
    ++calls["ppoll"];
    std::map<std::string, int> outcomes;
    int cells = 0;
    for (const auto& [name, count] : calls)
        for (int n = 1; n <= count; ++n)
            for (const int error : errors_for(name)) {
                if (name == "futex")
                    continue; // its only errors are the C library's to take, which aborts on any other
                const std::string inject
                    = "inject=" + name + ":error=" + strerrorname_np(error) + ":when=" + std::to_string(n);
                SCOPED_TRACE(inject);
                Rig rig;
                ASSERT_OK(start_rig(rig));
                const std::string trace = rig.dir + "/trace";
                CellRun run;
                ASSERT_OK(run_monitor_cell(rig, {"-qq", "-y", "-k", "-ff", "-o", trace, "-e", inject}, run));
                std::string stack; // of the call failed on the monitor's thread
                for (const auto& monitor : monitor_traces(trace, run.pid))
                    if (const auto [call, call_stack] = injected_call(monitor); !call.empty())
                        stack = call_stack;
                const MonitorStep step = monitor_step_of(stack);
                SCOPED_TRACE(stack);
                // A failure ends the monitor, logged, or is survived; either
                // way what is left is its connection's or the log's. The
                // connection holds its socket, and the bus's pidfd unless
                // the call that takes it failed. A failure that sd-bus
                // reports only later may end the monitor while the host
                // counts: the log opened, the connection not yet closed.
                EXPECT_TRUE(run.lines.empty() || (run.lines.size() == 1 && monitor_line_fits(run.lines.front(), step)))
                    << testing::PrintToString(run.lines);
                const int most = monitor_descriptors() + (run.lines.empty() ? 0 : 1);
                bool within = false;
                for (int open = 1; open <= most; ++open)
                    within = within
                        || run.output
                            == std::vector<std::string>{
                                "KRMRegister returned 0", "descriptors opened: " + std::to_string(open)};
                EXPECT_TRUE(within) << testing::PrintToString(run.output);
                EXPECT_EQ(run.exit_status, std::optional<int>(0));
                EXPECT_EQ(run.summaries, std::vector<std::string>{});
                ++cells;
                ++outcomes[(run.lines.empty() ? std::string("survived") : run.lines.front().message.substr(0, 11))];
                EXPECT_TRUE(hosts_wrote_no_stderr());
            }
    std::cout << cells << " cells of the monitor's system calls failed in turn:";
    for (const auto& [outcome, n] : outcomes)
        std::cout << " " << outcome << " " << n << ";";
    std::cout << "\n";
}

} // namespace
