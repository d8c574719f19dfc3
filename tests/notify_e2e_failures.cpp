// What the plug-in does when a notification cannot reach the user: the log
// line it writes (the exact bytes on /dev/log), the rate limit that still
// holds for the failed key, and the reader going on with the next record.
// Then every call the reader makes, failed in turn in a running host: each
// system call by strace, each allocation by the allocation preload, and the
// reader's thread cancelled.
#include "notify_e2e/rig_test.h"

#include "artifacts.h"

#include <gtest/gtest.h>

#include <cxxabi.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace e2e;
using NotifyFailures = RigTest;

const std::string docs = "/home/ann/Documents/report.odt";

struct BusClosedCase {
    const char* name;
    UserBus user_bus;
    std::vector<std::string> host_options;
    std::vector<Logged> lines; // in any order: the monitor logs from its own thread
};

TEST_F(NotifyFailures, WithoutAUserBusEachNewKeyIsLoggedOnceAndItsRepeatsStaySilent)
{
    const auto user_bus_line = [](int error) {
        return Logged{
            user_err, std::string("notify(254)-> Failed to connect to user bus: ") + std::strerror(error) + "\n"};
    };
    const Logged system_bus_refused{
        user_err, std::string("notify(100)-> Failed to connect to system bus: ") + std::strerror(EPERM)};
    const BusClosedCase cases[] = {
        // Nothing listens on the bus socket's path.
        {"no user bus", UserBus::missing, {}, {user_bus_line(ENOENT), user_bus_line(ENOENT)}},
        // A host whose service manager lets it connect to the system log only.
        {"a host that may not connect", UserBus::present, {"--confined"},
            {system_bus_refused, user_bus_line(EPERM), user_bus_line(EPERM)}},
    };
    const auto confinement = host_confinement();
    ASSERT_OK(confinement.status);
    std::string skipped;
    for_each_row(cases, [&](const auto& c) {
        if (std::ranges::count(c.host_options, "--confined") && !confinement.unavailable.empty()) {
            skipped += (skipped.empty() ? "" : "; ") + std::string(c.name) + ": " + confinement.unavailable;
            return;
        }
        Rig rig;
        ASSERT_OK(start_rig(rig, ServerMode::answer, c.user_bus));
        ASSERT_OK(make_notify_fifo());
        const auto deadline = rig::deadline_in(patience);
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, c.host_options, false, host));
        rig::unique_fd fifo;
        ASSERT_OK(open_fifo_writer(deadline, fifo));
        for (const char* path : {docs.c_str(), docs.c_str(), "/dev/video0"})
            ASSERT_OK(feed(fifo.get(), path, "/usr/bin/editor", deadline));

        // The monitor logs from its own thread, at a time of its choosing:
        // the host keeps reading until every line is there.
        auto lines = logged_lines(wait_for_log(rig, c.lines.size(), deadline), host.pid);
        const auto by_text = [](const Logged& a, const Logged& b) { return a.message < b.message; };
        std::sort(lines.begin(), lines.end(), by_text);
        auto expected = c.lines;
        std::sort(expected.begin(), expected.end(), by_text);
        EXPECT_EQ(lines, expected);
        fifo.reset();
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(recorded_calls(rig).size(), 0u);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
    if (!skipped.empty())
        GTEST_SKIP() << skipped;
}

struct ServerFailureCase {
    const char* name;
    ServerMode mode;
    size_t calls_seen_by_server;
    std::vector<Logged> lines;
    std::vector<std::string> environment; // of the host
    // The user bus stops before the host starts and goes on after this long,
    // so that the first call waits in its connection's handshake. Its line
    // must then come once SYSTEMD_BUS_TIMEOUT has passed since the start,
    // and well before half as much again.
    std::chrono::milliseconds stall;
    std::chrono::milliseconds timeout;
};

TEST_F(NotifyFailures, AFailedNotifyIsLoggedAndTheReaderGoesOnWithTheNextRecord)
{
    const ServerFailureCase cases[] = {
        {"the server answers with an error", ServerMode::fail, 2,
            {{user_err, "notify(283)-> Failed to Notify: the test notification server refuses this notification\n"},
                {user_err, "notify(283)-> Failed to Notify: the test notification server refuses this notification\n"}},
            {}, 0ms, 0ms},
        // The server drops its connection on the first call; the bus answers
        // for it at once, and the second call finds nobody owning the name.
        {"the server vanishes", ServerMode::vanish, 1,
            {{user_err,
                 "notify(283)-> Failed to Notify: Message recipient disconnected from message bus without "
                 "replying\n"},
                {user_err,
                    "notify(283)-> Failed to Notify: The name org.freedesktop.Notifications was not provided by "
                    "any .service files\n"}},
            {}, 0ms, 0ms},
        // The call gives up at the bus library's reply timeout, which the
        // environment may shorten, as for a synchronous call.
        {"the server never answers", ServerMode::silent, 2,
            {{user_err, "notify(283)-> Failed to Notify: Method call timed out\n"},
                {user_err, "notify(283)-> Failed to Notify: Method call timed out\n"}},
            {"SYSTEMD_BUS_TIMEOUT=1s"}, 0ms, 0ms},
        // One deadline for the handshake, the call and the answer: the time
        // the handshake took is not added to it.
        {"the server never answers and the user bus stalls during the handshake", ServerMode::silent, 2,
            {{user_err, "notify(283)-> Failed to Notify: Method call timed out\n"},
                {user_err, "notify(283)-> Failed to Notify: Method call timed out\n"}},
            {"SYSTEMD_BUS_TIMEOUT=3s"}, 2500ms, 3000ms},
    };
    for_each_row(cases, [&](const auto& c) {
        Rig rig;
        ASSERT_OK(start_rig(rig, c.mode));
        // The repeat of the first key comes after the failure and stays silent.
        ASSERT_OK(write_notify_file(record(docs, "/usr/bin/editor") + record(docs, "/usr/bin/editor")
            + record("/dev/video1", "/usr/bin/camapp") + record(docs, "/usr/bin/editor")));

        const pid_t user_bus = rig.user_bus.daemon.pid;
        if (c.stall > 0ms) {
            ASSERT_EQ(::kill(user_bus, SIGSTOP), 0);
        }
        const auto started = rig::Clock::now();
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, {}, false, host, c.environment));
        const pid_t host_pid = host.pid;
        const auto deadline = rig::deadline_in(patience);
        std::vector<std::string> datagrams;
        if (c.stall > 0ms) {
            // The stall's length is the input, not a wait for an effect.
            std::this_thread::sleep_until(started + c.stall);
            ASSERT_EQ(::kill(user_bus, SIGCONT), 0);
            datagrams = wait_for_log(rig, 1, deadline);
            const auto first_line = rig::Clock::now() - started;
            EXPECT_GE(first_line, c.timeout) << "the call ended before its time";
            EXPECT_LT(first_line, c.timeout * 3 / 2) << "the handshake's time was added to the call's";
        }
        EXPECT_EQ(rig::read_rest(host, deadline), "KRMRegister returned 0\n");
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(recorded_calls(rig).size(), c.calls_seen_by_server);
        for (auto& datagram : drain_log(rig))
            datagrams.push_back(std::move(datagram));
        EXPECT_EQ(logged_lines(datagrams, host_pid), c.lines);
    });
}

// --- Each call of the reader failed in turn ---------------------------------

// Three keys and a repeat, written at once: a reader that stops early finds
// no writer gone under it.
const std::vector<std::pair<std::string, std::string>> cell_records = {{docs, "/usr/bin/editor"},
    {docs, "/usr/bin/editor"}, {"/dev/video0", "/usr/bin/camapp"}, {"/home/ann/Pictures/a.jpg", "/usr/bin/viewer"}};
const std::vector<std::string> cell_keys = {std::string("/usr/bin/editor") + files_suffix,
    std::string("/usr/bin/camapp") + camera_suffix, std::string("/usr/bin/viewer") + files_suffix};

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A frame of a stack, as backtrace_symbols ("OBJECT(NAME+0xN)[0xA]") or
// strace -k (" > OBJECT(NAME+0xN) [0xA]") shows it: its object, and the
// names of the functions it stands in, inlined ones included where the
// object's own symbols tell them.
struct Frame {
    std::string object;
    std::string names;
};

// The plug-in's functions hidden from its dynamic symbols, found in its
// own symbol table; the return address is one past the call.
std::string symbolized(const std::string& object, const std::string& offset)
{
    static std::map<std::string, std::string> known;
    if (const auto found = known.find(object + offset); found != known.end())
        return found->second;
    std::ostringstream address;
    address << std::hex << "0x" << std::stoul(offset, nullptr, 16) - 1;
    rig::ChildProcess addr2line;
    if (!rig::spawn({"addr2line", "-f", "-i", "-C", "-e", object, address.str()}, {}, addr2line))
        return {};
    const auto deadline = rig::deadline_in(patience);
    const auto lines = lines_of(rig::read_rest(addr2line, deadline));
    (void)rig::wait_exit(addr2line, deadline);
    std::string names;
    for (std::size_t n = 0; n < lines.size(); n += 2) // a name, then its place
        names += lines[n].substr(0, lines[n].find('(')) + "\n";
    return known[object + offset] = names;
}

// A function's name without its parameters, whose types would name others.
std::string function_name(const std::string& symbol)
{
    std::string name = symbol.substr(0, symbol.find('+'));
    int status = -1;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    if (status == 0)
        name = demangled.get();
    return name.substr(0, name.find('('));
}

std::vector<Frame> frames_of(const std::string& stack)
{
    std::vector<Frame> frames;
    std::istringstream in(stack);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(" > "))
            line.erase(0, 3);
        const auto open = line.find('(');
        const auto close = line.find(')', open);
        if (open == std::string::npos || close == std::string::npos)
            continue;
        Frame frame{line.substr(0, open), line.substr(open + 1, close - open - 1)};
        frame.names = frame.names.starts_with("+0x") ? symbolized(frame.object, frame.names.substr(1))
                                                     : function_name(frame.names);
        frames.push_back(std::move(frame));
    }
    return frames;
}

bool has(const std::string& text, std::initializer_list<std::string_view> parts)
{
    return std::ranges::any_of(parts, [&](std::string_view part) { return text.find(part) != std::string::npos; });
}

// The steps are told by the plug-in's own function names, which a stripped
// build (the installed package's) keeps none of: why not, or empty.
std::string plugin_without_symbols()
{
    const std::string plugin = rig::artifact(rig::plugin_variable, TOLVANE_NOTIFY_PLUGIN);
    rig::ChildProcess nm;
    rig::SpawnOptions options;
    options.stderr_path = "/dev/null";
    if (!rig::spawn({"nm", "--defined-only", plugin}, options, nm))
        return "nm (binutils) cannot run";
    const auto deadline = rig::deadline_in(patience);
    const bool named = rig::read_rest(nm, deadline).find("run_registration") != std::string::npos;
    (void)rig::wait_exit(nm, deadline);
    return named ? "" : plugin + " has no symbol table: the step of a failed call cannot be told";
}

// Which step of the plug-in a failed call belongs to, from its stack (and,
// for a system call, its line): the step decides the line it may log.
enum class Step { none, open, monitor_start, read, user_bus, notify, release, other };

Step step_of(const std::string& call, const std::string& stack)
{
    if (call.find(notify_file) != std::string::npos)
        return call.starts_with("read(") ? Step::read : Step::open;
    const auto frames = frames_of(stack);
    const auto plugin = std::ranges::find_if(
        frames, [](const Frame& f) { return f.object.find("libtolvane-notify") != std::string::npos; });
    if (plugin == frames.begin() || plugin == frames.end())
        return Step::other;
    const Frame& called = *(plugin - 1);
    const std::string& in = plugin->names;
    if (has(called.names, {"_Znwm", "_Znam", "operator new"}))
        return Step::other; // the plug-in's own memory: that record is lost
    if (has(in, {"Closer", "Unref", "~BusError"}) || has(called.names, {"unref", "sd_bus_error_free"}))
        return Step::release;
    if (called.object.find("libsystemd") != std::string::npos) {
        if (called.names.starts_with("sd_bus_open_user"))
            return Step::user_bus;
        if (!has(in, {"make_notify_call", "call_notify", "wait_for_answer"}) && has(in, {"send_blocked_notification"}))
            return Step::user_bus;
        return Step::notify;
    }
    if (has(in, {"set_up_translation"}) || has(called.names, {"textdomain", "setlocale"}))
        return Step::other; // the texts stay in English
    if (has(in, {"start_sleep_monitor"}))
        return Step::monitor_start;
    if (has(in, {"read_exactly", "read_records"}))
        return Step::read;
    if (has(in, {"run_registration"}))
        return Step::open;
    return Step::other;
}

struct CellRun {
    pid_t pid = -1; // the host's
    std::vector<std::string> output; // the host's lines
    std::optional<int> exit_status;
    std::vector<Logged> lines;
    std::vector<std::string> summaries;
};

bool host_ended(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto paren = text.rfind(')');
    return paren == std::string::npos || text.substr(paren + 2, 1) == "Z";
}

bool traced(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("TracerPid:"))
            return std::atoi(line.c_str() + 10) != 0;
    return false;
}

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
    if (auto s = start_host(rig, {"--count-descriptors"}, false, host, environment); !s)
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

std::string file_text(const std::string& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string text_of(int error)
{
    return std::strerror(error);
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
    int monitor = 1;
    switch (step) {
    case Step::open:
        allowed = {{user_err, "notify(302)-> open /sys/kernel/security/tolvane/.notify failed!"}};
        result = "KRMRegister returned -1";
        monitor = 0;
        least_notified = 0;
        break;
    case Step::monitor_start: // notifications stay on, unsilenced
        allowed = {{user_err, "notify(311)-> Failed to start sleep monitor thread: " + text_of(EAGAIN)}};
        monitor = run.lines.empty() ? 1 : 0;
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

// The errors each system call is failed with; EINTR where a wait must go on.
std::vector<int> errors_for(const std::string& name)
{
    if (name == "read" || name == "ppoll")
        return {EIO, EINTR};
    if (name == "socket")
        return {EMFILE};
    if (name == "connect")
        return {EACCES};
    return {EIO};
}

// The plug-in's system calls on the reader's thread in a run without faults,
// by name: those with one of its frames on their stack. The host's own come
// after them. Not close, which strace would fail undone (the preload fails
// it done), whereas a kernel always releases the descriptor.
std::map<std::string, int> plugin_calls(const std::string& trace)
{
    std::map<std::string, int> calls;
    const auto lines = lines_of(trace);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const auto paren = lines[n].find('(');
        if (paren == std::string::npos || lines[n].starts_with(" >") || lines[n].find("resumed>") != std::string::npos)
            continue;
        for (std::size_t k = n + 1; k < lines.size() && lines[k].starts_with(" >"); ++k)
            if (lines[k].find("libtolvane-notify") != std::string::npos) {
                ++calls[lines[n].substr(0, paren)];
                break;
            }
    }
    calls.erase("close");
    return calls;
}

// The call strace failed and its stack; empty when it failed none.
std::pair<std::string, std::string> injected_call(const std::string& trace)
{
    const auto lines = lines_of(trace);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (!lines[n].ends_with("(INJECTED)"))
            continue;
        std::string stack;
        for (std::size_t k = n + 1; k < lines.size() && lines[k].starts_with(" >"); ++k)
            stack += lines[k] + "\n";
        return {lines[n], stack};
    }
    return {};
}

std::string ptrace_asan_options()
{
    const char* options = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (options ? options : "") + ":detect_leaks=0";
}

struct SyscallCell {
    std::string call;
    int n; // strace's when=
    int error;
    ServerMode mode;
};

TEST_F(NotifyFailures, EachSystemCallOfTheReaderFailedInTurnIsLoggedOrSurvived)
{
    if (const auto why = plugin_without_symbols(); !why.empty())
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

// --- Each system call of the sleep monitor failed in turn --------------------

// Waits until a thread of the host is blocked in the system call.
rig::Status wait_for_thread_in(pid_t host, long number, rig::Deadline deadline)
{
    while (rig::Clock::now() < deadline) {
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(host) + "/task", error)) {
            long in = -1;
            if (std::ifstream(task.path() / "syscall") >> in && in == number)
                return rig::Status::ok();
        }
        ::poll(nullptr, 0, 2);
    }
    return rig::Status::failed("no thread of the host came to system call " + std::to_string(number));
}

// What strace -ff wrote of each thread into PREFIX.TID, but the reader's.
std::vector<std::string> monitor_traces(const std::string& prefix, pid_t reader)
{
    std::vector<std::string> traces;
    const std::filesystem::path path(prefix);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(path.filename().string() + ".") && !name.ends_with("." + std::to_string(reader)))
            traces.push_back(file_text(entry.path().string()));
    }
    return traces;
}

enum class MonitorStep { none, connect, subscribe, process, wait, release };

MonitorStep monitor_step_of(const std::string& stack)
{
    const auto frames = frames_of(stack);
    const auto plugin = std::ranges::find_if(
        frames, [](const Frame& f) { return f.object.find("libtolvane-notify") != std::string::npos; });
    if (plugin == frames.begin() || plugin == frames.end())
        return MonitorStep::none;
    const std::string& called = (plugin - 1)->names;
    if (called.starts_with("sd_bus_open_system"))
        return MonitorStep::connect;
    if (called.starts_with("sd_bus_process"))
        return MonitorStep::process;
    if (called.starts_with("sd_bus_wait"))
        return MonitorStep::wait;
    if (has(called, {"unref"}))
        return MonitorStep::release;
    return MonitorStep::subscribe; // the match, GetNameOwner, the signal's match
}

// The host's threads that are not `but`.
std::vector<pid_t> threads_of(pid_t host)
{
    std::vector<pid_t> threads;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(host) + "/task", error))
        threads.push_back(std::stoi(task.path().filename().string()));
    return threads;
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
    if (auto s = start_host(rig, {"--count-descriptors"}, false, host, {ptrace_asan_options()}); !s)
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
        for (const pid_t thread : threads) {
            std::ifstream in("/proc/" + std::to_string(thread) + "/syscall");
            long number = -1;
            std::string fds, nfds, limit;
            in >> number >> fds >> nfds >> limit;
            waiting = waiting || (number == SYS_ppoll && limit == "0x0");
        }
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

// The monitor's lines, in the order of its steps.
constexpr std::pair<MonitorStep, std::string_view> monitor_lines[] = {
    {MonitorStep::connect, "notify(100)-> Failed to connect to system bus: "},
    {MonitorStep::subscribe, "notify(114)-> Failed to match signal PrepareForSleep: "},
    {MonitorStep::process, "notify(124)-> Failed to process bus: "},
    {MonitorStep::wait, "notify(135)-> Failed to wait on bus: "},
};

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

TEST_F(NotifyFailures, EachSystemCallOfTheMonitorFailedInTurnIsLoggedOrSurvived)
{
    if (const auto why = plugin_without_symbols(); !why.empty())
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
                // way one descriptor is left, its connection's or the log's.
                // A failure that sd-bus reports only later may end the
                // monitor while the host counts: the log opened, the
                // connection not yet closed.
                EXPECT_TRUE(run.lines.empty() || (run.lines.size() == 1 && monitor_line_fits(run.lines.front(), step)))
                    << testing::PrintToString(run.lines);
                const std::vector<std::string> left_one{"KRMRegister returned 0", "descriptors opened: 1"};
                const std::vector<std::string> left_both{"KRMRegister returned 0", "descriptors opened: 2"};
                EXPECT_TRUE(run.output == left_one || (!run.lines.empty() && run.output == left_both))
                    << testing::PrintToString(run.output);
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

TEST_F(NotifyFailures, EachAllocationAndCloseOfTheReaderFailedInTurnIsLoggedOrSurvived)
{
    if (const auto why = plugin_without_symbols(); !why.empty())
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
            Rig rig;
            ASSERT_OK(start_rig(rig));
            CellRun run;
            ASSERT_OK(run_cell(rig, environment(rig, n), {}, run));
            // The stack comes first, when a call failed; the counts last.
            const std::string report = file_text(rig.dir + "/report");
            const Step step = report.starts_with("allocations: ") ? Step::none : step_of("", report);
            SCOPED_TRACE(report);
            judge(run, step, fault.error);
            ++outcomes[(run.lines.empty() ? std::string("survived") : run.lines.front().message.substr(0, 11))];
            EXPECT_TRUE(hosts_wrote_no_stderr());
        }
        std::cout << count << " cells of " << fault.name << "s failed in turn:";
        for (const auto& [outcome, n] : outcomes)
            std::cout << " " << outcome << " " << n << ";";
        std::cout << "\n";
    });
}
#endif

// Waits until a thread of the host is blocked reading the notification file,
// and the FIFO holds nothing more for it.
rig::Status wait_for_file_reader(pid_t host, int fifo_writer, rig::Deadline deadline)
{
    const std::string proc = "/proc/" + std::to_string(host);
    while (rig::Clock::now() < deadline) {
        int unread = -1;
        std::error_code error;
        for (const auto& task : std::filesystem::directory_iterator(proc + "/task", error)) {
            std::ifstream in(task.path() / "syscall");
            long number = -1;
            std::string fd;
            // A running thread shows "running", which reads as no number.
            if (!(in >> number >> fd) || number != SYS_read || ::ioctl(fifo_writer, FIONREAD, &unread) != 0
                || unread != 0)
                continue;
            if (std::filesystem::read_symlink(proc + "/fd/" + std::to_string(std::stol(fd, nullptr, 16)), error)
                == notify_file)
                return rig::Status::ok();
        }
        ::poll(nullptr, 0, 2);
    }
    return rig::Status::failed("no thread of the host came to read the notification file");
}

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
    bool log_full;
    int descriptors; // opened and left: the monitor's, and the log's
};

TEST_F(NotifyFailures, AReaderCancelledWhileItWaitsReleasesWhatItHeld)
{
    const CancelCase cases[] = {
        {"waiting for a record", ServerMode::answer, {}, SYS_read, false, 1},
        {"waiting for the answer to Notify", ServerMode::silent, {"SYSTEMD_BUS_TIMEOUT=120s"}, SYS_ppoll, false, 1},
        {"logging a refused Notify to a full log", ServerMode::fail, {}, SYS_sendto, true, 2},
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
            "second KRMRegister returned 0\ndescriptors opened: " + std::to_string(c.descriptors) + "\n");
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(recorded_calls(rig).size(), 1u);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

} // namespace
