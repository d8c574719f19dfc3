#include "notify_e2e/failure_cells.h"

#include "notify_e2e/calls.h"
#include "notify_e2e/host.h"
#include "notify_e2e/logind.h"
#include "notify_e2e/records.h"
#include "notify_e2e/strace_traces.h"
#include "notify_e2e/thread_probes.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

namespace e2e {

namespace {

const std::string docs = "/home/ann/Documents/report.odt";

// Three keys and a repeat, written at once: a reader that stops early finds
// no writer gone under it.
const std::vector<std::pair<std::string, std::string>> cell_records = {{docs, "/usr/bin/editor"},
    {docs, "/usr/bin/editor"}, {"/dev/video0", "/usr/bin/camapp"}, {"/home/ann/Pictures/a.jpg", "/usr/bin/viewer"}};
const std::vector<std::string> cell_keys = {std::string("/usr/bin/editor") + files_suffix,
    std::string("/usr/bin/camapp") + camera_suffix, std::string("/usr/bin/viewer") + files_suffix};

std::string text_of(int error)
{
    return std::strerror(error);
}

// The monitor's lines, in the order of its steps.
constexpr std::pair<MonitorStep, std::string_view> monitor_lines[] = {
    {MonitorStep::connect, "notify(100)-> Failed to connect to system bus: "},
    {MonitorStep::subscribe, "notify(114)-> Failed to match signal PrepareForSleep: "},
    {MonitorStep::process, "notify(124)-> Failed to process bus: "},
    {MonitorStep::wait, "notify(135)-> Failed to wait on bus: "},
};

// A coverage build's runtime reads and rewrites the host's counters files
// at exit, on the thread that strace follows and with the calls it fails:
// a failed read of one would have the runtime rewrite it with this host's
// counts alone, the earlier runs' lost. A traced host writes them into a
// fresh tree of its own instead, where nothing is there to lose; the
// coverage step folds it in with the rest.
std::vector<std::string> counters_of_its_own(std::vector<std::string> environment)
{
    static int traced_hosts = 0;
    if (const char* prefix = std::getenv("GCOV_PREFIX"); prefix != nullptr && *prefix != '\0')
        environment.push_back(std::string("GCOV_PREFIX=") + prefix + "/traced-host-" + std::to_string(++traced_hosts));
    return environment;
}

} // namespace

// The host on the FIFO with its monitor subscribed; `strace` (its options
// but -p) is attached to the reader's thread alone once it waits for
// records, so that the monitor's calls are never counted or failed.
rig::Status run_cell(
    Rig& rig, const std::vector<std::string>& environment, const std::vector<std::string>& strace, CellRun& out)
{
    const auto deadline = rig::deadline_in(patience);
    if (auto s = make_notify_fifo(); !s)
        return s;
    Logind logind;
    if (auto s = start_logind(rig, logind, deadline); !s)
        return s;
    rig::ChildProcess host;
    const auto host_environment = strace.empty() ? environment : counters_of_its_own(environment);
    if (auto s = start_host(rig, {"--count-descriptors"}, false, host, host_environment); !s)
        return s;
    rig::unique_fd fifo;
    // A reader that fails before it opens the file never opens it.
    for (;;) {
        fifo = rig::unique_fd(::open(notify_file, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (fifo || errno != ENXIO || host_ended(host.pid))
            break;
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed("the plug-in did not open the notification file");
        ::poll(nullptr, 0, 2);
    }
    rig::ChildProcess tracer;
    if (fifo) {
        // The monitor subscribes, or it could not start and says so.
        pollfd either[] = {{logind.process.stdout_fd.get(), POLLIN, 0}, {rig.log.get(), POLLIN, 0}};
        while (::poll(either, 2, 2) == 0)
            if (rig::Clock::now() >= deadline)
                return rig::Status::failed("the monitor neither subscribed nor logged");
        if (either[0].revents != 0)
            if (auto s = wait_subscribed(logind, deadline); !s)
                return s;
        if (!strace.empty()) {
            std::vector<std::string> argv{STRACE, "-p", std::to_string(host.pid)};
            argv.insert(argv.end(), strace.begin(), strace.end());
            rig::SpawnOptions options;
            options.pipe_stdout = false;
            options.stderr_path = rig.dir + "/strace-stderr";
            if (auto s = rig::spawn(argv, options, tracer); !s)
                return s;
            while (!traced(host.pid))
                if (rig::Clock::now() >= deadline)
                    return rig::Status::failed("strace did not attach to the host");
                else
                    ::poll(nullptr, 0, 2);
        }
        std::string bytes;
        for (const auto& [object, program] : cell_records)
            bytes += record(object, program);
        if (auto s = rig::write_all(fifo.get(), bytes.data(), bytes.size(), deadline); !s)
            return s;
        fifo.reset();
    }
    const pid_t host_pid = out.pid = host.pid;
    out.output = lines_of(rig::read_rest(host, deadline));
    out.exit_status = rig::wait_exit(host, deadline);
    if (tracer.pid > 0 && !rig::wait_exit(tracer, deadline))
        return rig::Status::failed("strace did not end");
    out.lines = logged_lines(drain_log(rig), host_pid);
    out.summaries = summaries(recorded_calls(rig));
    return rig::Status::ok();
}

// One oracle for every cell: `step` failed with `error`, or nothing failed.
void judge(const CellRun& run, Step step, int error)
{
    // Nothing is notified twice.
    const std::set<std::string> distinct(run.summaries.begin(), run.summaries.end());
    EXPECT_EQ(distinct.size(), run.summaries.size()) << testing::PrintToString(run.summaries);
    std::vector<Logged> allowed;
    std::size_t least_notified = cell_keys.size();
    std::string result = "KRMRegister returned 0";
    int monitor = monitor_descriptors();
    switch (step) {
    case Step::open:
        allowed = {{user_err, "notify(302)-> open /sys/kernel/security/tolvane/.notify failed!"}};
        result = "KRMRegister returned -1";
        monitor = 0;
        least_notified = 0;
        break;
    case Step::monitor_start: // notifications stay on, unsilenced
        allowed = {{user_err, "notify(311)-> Failed to start sleep monitor thread: " + text_of(EAGAIN)}};
        monitor = run.lines.empty() ? monitor : 0;
        break;
    case Step::read: // the end of the file, as the reader takes it
        least_notified = error == EINTR ? cell_keys.size() : 0;
        break;
    case Step::user_bus:
        allowed = {{user_err, "notify(254)-> Failed to connect to user bus: " + text_of(error) + "\n"}};
        break;
    case Step::notify:
        allowed = {{user_err, "notify(283)-> Failed to Notify: " + text_of(error) + "\n"}};
        break;
    case Step::other: // memory the plug-in's own code asks for costs that record
        least_notified = cell_keys.size() - 1;
        break;
    case Step::none:
    case Step::release:
        break;
    }
    // A failure that is logged costs one notification at most; one that is
    // not costs none, but where the step says otherwise.
    EXPECT_TRUE(run.lines.empty() || run.lines == allowed) << testing::PrintToString(run.lines);
    if (!run.lines.empty() && step != Step::open)
        least_notified = cell_keys.size() - 1;
    EXPECT_GE(run.summaries.size(), least_notified) << testing::PrintToString(run.summaries);
    for (const auto& summary : run.summaries)
        EXPECT_TRUE(std::ranges::count(cell_keys, summary)) << summary;
    // The syslog socket, open once a line went out, and the monitor's
    // connection stay; everything the reader opened is closed.
    const int expected = monitor + (run.lines.empty() ? 0 : 1);
    EXPECT_EQ(run.output, (std::vector<std::string>{result, "descriptors opened: " + std::to_string(expected)}));
    EXPECT_EQ(run.exit_status, std::optional<int>(0));
}

int monitor_descriptors()
{
    static const int measured = [] {
        Rig rig;
        CellRun run;
        const std::string prefix = "descriptors opened: ";
        if (!start_rig(rig) || !run_cell(rig, {}, {}, run) || !run.lines.empty() || run.output.size() != 2
            || !run.output[1].starts_with(prefix))
            return 0;
        const int n = std::atoi(run.output[1].c_str() + prefix.size());
        // More would be a descriptor that the plug-in leaks, not the bus's.
        return n == 1 || n == 2 ? n : 0;
    }();
    return measured;
}

// The host with strace following every thread from before the monitor
// starts (the reader waits for a writer of the FIFO meanwhile), until the
// monitor waits for signals with no time limit or has ended. No record is
// fed: the reader only reads the end of the file.
rig::Status run_monitor_cell(Rig& rig, const std::vector<std::string>& strace, CellRun& out)
{
    const auto deadline = rig::deadline_in(patience);
    if (auto s = make_notify_fifo(); !s)
        return s;
    Logind logind;
    if (auto s = start_logind(rig, logind, deadline); !s)
        return s;
    rig::ChildProcess host;
    const auto host_environment = counters_of_its_own({ptrace_asan_options()});
    if (auto s = start_host(rig, {"--count-descriptors"}, false, host, host_environment); !s)
        return s;
    if (auto s = wait_for_thread_in(host.pid, SYS_openat, deadline); !s)
        return s;
    std::vector<std::string> argv{STRACE, "-f", "-p", std::to_string(host.pid)};
    argv.insert(argv.end(), strace.begin(), strace.end());
    rig::SpawnOptions options;
    options.pipe_stdout = false;
    options.stderr_path = rig.dir + "/strace-stderr";
    rig::ChildProcess tracer;
    if (auto s = rig::spawn(argv, options, tracer); !s)
        return s;
    while (!traced(host.pid))
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed("strace did not attach to the host");
        else
            ::poll(nullptr, 0, 2);
    rig::unique_fd fifo;
    if (auto s = open_fifo_writer(deadline, fifo); !s)
        return s;
    for (bool started = false;;) {
        const auto threads = threads_of(host.pid);
        started = started || threads.size() > 1;
        const bool ended = started && threads.size() == 1;
        bool waiting = false;
        for (const pid_t thread : threads)
            waiting = waiting || waits_without_limit(thread);
        if (ended || waiting)
            break;
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed("the monitor neither settled nor ended");
        ::poll(nullptr, 0, 2);
    }
    fifo.reset();
    const pid_t host_pid = out.pid = host.pid;
    out.output = lines_of(rig::read_rest(host, deadline));
    out.exit_status = rig::wait_exit(host, deadline);
    if (!rig::wait_exit(tracer, deadline))
        return rig::Status::failed("strace did not end");
    out.lines = logged_lines(drain_log(rig), host_pid);
    out.summaries = summaries(recorded_calls(rig));
    return rig::Status::ok();
}

// sd-bus may report a failure at a later step than the call that failed
// (a read error of a synchronous call, at the next processing), and with
// an error of its own making: the line is one of this step's or a later
// one's, never an earlier one's, and ends in an error's text.
bool monitor_line_fits(const Logged& line, MonitorStep step)
{
    if (step == MonitorStep::none || step == MonitorStep::release || line.priority != user_err)
        return false;
    bool reached = false;
    for (const auto& [at, prefix] : monitor_lines) {
        reached = reached || at == step || (step == MonitorStep::wait && at == MonitorStep::process);
        if (!reached || !line.message.starts_with(prefix))
            continue;
        for (int error = 1; error < 134; ++error)
            if (line.message.substr(prefix.size()) == text_of(error))
                return true;
    }
    return false;
}

} // namespace e2e
