#include "notify_e2e_rig.h"

#include "artifacts.h"
#include "plugin_paths.h"
#include "sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

namespace e2e {
namespace {

std::string failure(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string make_security_dir()
{
    if (::mkdir("/sys/kernel/security/tolvane", 0755) != 0 && errno != EEXIST)
        return failure("mkdir /sys/kernel/security/tolvane");
    return {};
}

std::string remove_notify_file()
{
    if (::unlink(notify_file) != 0 && errno != ENOENT)
        return failure(std::string("unlink ") + notify_file);
    return {};
}

std::vector<std::string> server_options(ServerMode mode)
{
    switch (mode) {
    case ServerMode::answer:
    case ServerMode::none:
        return {"--mode", "answer"};
    case ServerMode::fail:
        return {"--mode", "fail"};
    case ServerMode::vanish:
        return {"--mode", "vanish"};
    case ServerMode::slow:
        return {"--mode", "answer", "--delay", "1500"};
    case ServerMode::silent:
        return {"--mode", "silent"};
    case ServerMode::standard:
        return {"--mode", "answer", "--interface", "org.freedesktop.Notifications"};
    }
    return {};
}

std::string make_subdir(const std::string& dir, const char* name)
{
    const std::string path = dir + "/" + name;
    if (::mkdir(path.c_str(), 0700) != 0)
        return {};
    return path;
}

} // namespace

std::string sandbox_missing()
{
    if (auto why = sandbox::private_namespaces_missing(); !why.empty())
        return why;
    if (::access(rig::dbus_daemon_program, X_OK) != 0)
        return std::string(rig::dbus_daemon_program) + " is not installed (Debian package dbus-daemon)";
    return {};
}

std::string enter_sandbox()
{
    if (auto e = sandbox::enter_private_namespaces(); !e.empty())
        return e;
    const std::string scratch = sandbox::make_temp_dir("tolvane-e2e-dev");
    if (scratch.empty())
        return failure("mkdtemp");
    auto e = rig::make_plugin_paths_private(scratch);
    sandbox::remove_tree(scratch);
    return e;
}

std::string record(std::string_view object_path, std::string_view program_text)
{
    std::string r(1024, '\0');
    r.replace(0, std::min<size_t>(object_path.size(), 512), object_path.substr(0, 512));
    r.replace(512, std::min<size_t>(program_text.size(), 512), program_text.substr(0, 512));
    return r;
}

std::string file_text(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

namespace {

constexpr std::string_view host_stderr_suffix = ".host-stderr";

// The plug-in writes to the system log only; whatever reached a host's
// standard error (a line meant for the log, a sanitizer's report) is a fault.
void expect_hosts_wrote_no_stderr(const std::string& dir)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string path = entry.path().string();
        if (!path.ends_with(host_stderr_suffix))
            continue;
        // The start is enough to tell what went wrong.
        EXPECT_EQ(file_text(path).substr(0, 4096), "") << "on the standard error of a host";
    }
}

} // namespace

Rig::~Rig()
{
    rig::kill_and_reap(server, SIGKILL);
    rig::kill_and_reap(user_bus.daemon, SIGKILL);
    rig::kill_and_reap(system_bus.daemon, SIGKILL);
    if (!dir.empty()) {
        expect_hosts_wrote_no_stderr(dir);
        sandbox::remove_tree(dir);
    }
}

std::string start_rig(Rig& rig, ServerMode mode, UserBus user_bus)
{
    rig.dir = sandbox::make_temp_dir("tolvane-e2e");
    if (rig.dir.empty())
        return failure("mkdtemp");
    const std::string user_dir = make_subdir(rig.dir, "user");
    const std::string system_dir = make_subdir(rig.dir, "system");
    if (user_dir.empty() || system_dir.empty())
        return failure("mkdir in " + rig.dir);
    rig.calls_path = rig.dir + "/calls";
    const auto deadline = rig::deadline_in(patience);

    // Any user may reach the system bus, as on a real machine.
    if (::chmod(rig.dir.c_str(), 0711) != 0 || ::chmod(system_dir.c_str(), 0711) != 0)
        return failure("chmod in " + rig.dir);
    if (auto e = rig::start_private_bus(system_dir, deadline, rig.system_bus, rig::BusPolicy::system); !e.empty())
        return e;
    rig.system_bus_address = rig.system_bus.address;
    if (user_bus == UserBus::present) {
        if (auto e = start_user_bus(rig, mode); !e.empty())
            return e;
    } else {
        // A socket path where nothing listens, yet.
        rig.user_bus_address = "unix:path=" + user_dir + "/bus";
    }
    if (auto e = rig::bind_log_socket("/dev/log", rig.log); !e.empty())
        return e;
    if (auto e = make_security_dir(); !e.empty())
        return e;
    return remove_notify_file();
}

std::string start_user_bus(Rig& rig, ServerMode mode)
{
    const auto deadline = rig::deadline_in(patience);
    if (auto e = rig::start_private_bus(rig.dir + "/user", deadline, rig.user_bus); !e.empty())
        return e;
    rig.user_bus_address = rig.user_bus.address;
    if (mode == ServerMode::none)
        return {};
    rig::SpawnOptions options;
    options.environment = {"DBUS_SESSION_BUS_ADDRESS=" + rig.user_bus_address};
    std::vector<std::string> argv = {TOLVANE_TEST_SERVER, "--record", rig.calls_path};
    for (auto& option : server_options(mode))
        argv.push_back(std::move(option));
    if (auto e = rig::spawn(argv, options, rig.server); !e.empty())
        return e;
    const auto ready = rig::read_line(rig.server, deadline);
    if (!ready || *ready != "ready")
        return "the notification server did not get ready";
    return {};
}

std::string compile_locale(const std::string& name, const std::string& dir)
{
    const size_t dot = name.find('.');
    rig::ChildProcess localedef;
    rig::SpawnOptions options;
    options.stderr_path = dir + "/localedef.log";
    if (auto e = rig::spawn(
            {"localedef", "-i", name.substr(0, dot), "-f", name.substr(dot + 1), dir + "/" + name}, options, localedef);
        !e.empty())
        return e;
    const auto deadline = rig::deadline_in(patience);
    (void)rig::read_rest(localedef, deadline);
    if (rig::wait_exit(localedef, deadline) != std::optional<int>(0))
        return "localedef could not compile " + name + ", see " + options.stderr_path;
    return {};
}

std::string write_notify_file(const std::string& bytes)
{
    if (auto e = remove_notify_file(); !e.empty())
        return e;
    std::ofstream f(notify_file, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f.flush())
        return std::string("cannot write ") + notify_file;
    return {};
}

std::string make_notify_fifo()
{
    if (auto e = remove_notify_file(); !e.empty())
        return e;
    if (::mkfifo(notify_file, 0600) != 0)
        return failure(std::string("mkfifo ") + notify_file);
    return {};
}

rig::unique_fd open_fifo_writer(rig::Deadline deadline)
{
    // Without a reader, a non-blocking open for writing fails with ENXIO:
    // look again until the plug-in has opened its end.
    for (;;) {
        rig::unique_fd fd(::open(notify_file, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd || errno != ENXIO || rig::Clock::now() >= deadline)
            return fd;
        ::poll(nullptr, 0, 2);
    }
}

std::string start_host(const Rig& rig, const std::vector<std::string>& options, bool pipe_stdin,
    rig::ChildProcess& host, const std::vector<std::string>& environment)
{
    std::vector<std::string> argv = rig.host_wrapper;
    argv.push_back(TOLVANE_NOTIFY_HOST);
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(rig.plugin.empty() ? rig::artifact(rig::plugin_variable, TOLVANE_NOTIFY_PLUGIN) : rig.plugin);
    rig::SpawnOptions spawn_options;
    spawn_options.pipe_stdin = pipe_stdin;
    static int hosts_started = 0;
    spawn_options.stderr_path = rig.dir + "/" + std::to_string(++hosts_started) + std::string(host_stderr_suffix);
    // The untranslated texts are the ones the tests expect.
    spawn_options.environment = {"DBUS_SESSION_BUS_ADDRESS=" + rig.user_bus_address,
        "DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address, "LC_ALL=C", "LANGUAGE", "XDG_RUNTIME_DIR"};
    spawn_options.environment.insert(spawn_options.environment.end(), environment.begin(), environment.end());
    return rig::spawn(argv, spawn_options, host);
}

bool feed(int fifo_writer, std::string_view object_path, std::string_view program_text, rig::Deadline deadline)
{
    const std::string r = record(object_path, program_text);
    return rig::write_all(fifo_writer, r.data(), r.size(), deadline);
}

bool Logind::send(const std::string& commands, rig::Deadline deadline)
{
    std::istringstream words(commands);
    for (std::string command; words >> command;) {
        const std::string line = command + "\n";
        if (!rig::write_all(process.stdin_fd.get(), line.data(), line.size(), deadline)
            || rig::read_line(process, deadline) != "sent " + command)
            return false;
    }
    return true;
}

std::string start_logind(const Rig& rig, Logind& out, rig::Deadline deadline)
{
    rig::SpawnOptions options;
    options.pipe_stdin = true;
    options.environment = {"DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address};
    if (auto e = rig::spawn({TOLVANE_TEST_LOGIND}, options, out.process); !e.empty())
        return e;
    if (rig::read_line(out.process, deadline) != "monitoring")
        return "the logind stand-in did not start watching the bus";
    return {};
}

bool wait_subscribed(Logind& logind, rig::Deadline deadline)
{
    return rig::read_line(logind.process, deadline) == "subscribed";
}

namespace {
// Whether this is root with the user ids of a whole system at hand, nobody
// (65534) included: the host's root, or a container's whose user namespace
// maps a range of ids, rather than the one user a user namespace of the
// tests' own maps.
bool root_of_a_whole_system()
{
    if (::geteuid() != 0)
        return false;
    std::ifstream map("/proc/self/uid_map");
    for (unsigned long inside = 0, outside = 0, count = 0; map >> inside >> outside >> count;)
        if (inside <= 65534 && 65534 - inside < count)
            return true;
    return false;
}
} // namespace

std::string real_logind_missing()
{
    if (::access("/lib/systemd/systemd-logind", X_OK) != 0)
        return "/lib/systemd/systemd-logind is not installed (Debian package systemd)";
    if (!root_of_a_whole_system())
        return "the real systemd-logind needs root with a whole system's user ids, not a user namespace's one user";
    return {};
}

std::string other_user_missing()
{
    if (!root_of_a_whole_system())
        return "a user namespace maps no other user";
    if (::access(setpriv_program, X_OK) != 0)
        return std::string(setpriv_program) + " is not installed (Debian package util-linux)";
    return {};
}

std::string spoof_sleep(const Rig& rig, bool sleeping, rig::Deadline deadline)
{
    // A copy it may run: the build tree may lie where nobody else may look.
    const std::string spoofer = rig.dir + "/sleep-spoofer";
    std::error_code error;
    std::filesystem::copy_file(
        TOLVANE_TEST_SLEEP_SPOOFER, spoofer, std::filesystem::copy_options::overwrite_existing, error);
    if (error || ::chmod(spoofer.c_str(), 0755) != 0)
        return "cannot copy the spoofer to " + spoofer;
    rig::ChildProcess child;
    rig::SpawnOptions options;
    options.environment = {"DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address};
    options.stderr_path = rig.dir + "/sleep-spoofer.log";
    if (auto e = rig::spawn({setpriv_program, "--reuid=65534", "--regid=65534", "--clear-groups", "--", spoofer,
                                sleeping ? "true" : "false"},
            options, child);
        !e.empty())
        return e;
    const auto line = rig::read_line(child, deadline);
    if (rig::wait_exit(child, deadline) != std::optional<int>(0) || !line || !line->starts_with("spoofed ")
        || *line == "spoofed 0")
        return "the spoofer failed (" + line.value_or("no output") + "); see " + options.stderr_path;
    return {};
}

namespace {
std::string start_real_logind(Rig& rig, Logind& out, rig::Deadline deadline)
{
    const std::string dir = make_subdir(rig.dir, "real-logind");
    if (dir.empty() || ::chmod(dir.c_str(), 0711) != 0)
        return failure("mkdir in " + rig.dir);
    rig::SpawnOptions options;
    options.pipe_stdin = true;
    options.stderr_path = dir + "/tolvane-real-logind.log";
    if (auto e = rig::spawn({TOLVANE_REAL_LOGIND, dir}, options, out.process); !e.empty())
        return e;
    const auto address = rig::read_line(out.process, deadline);
    if (!address || !address->starts_with("address "))
        return "tolvane-real-logind did not start; see " + options.stderr_path;
    rig.system_bus_address = address->substr(8);
    if (rig::read_line(out.process, deadline) != "monitoring")
        return "tolvane-real-logind did not start watching the bus";
    return {};
}
} // namespace

std::string start_subscribed(Rig& rig, Subscribed& out, rig::Deadline deadline, LogindKind kind)
{
    if (auto e = make_notify_fifo(); !e.empty())
        return e;
    if (auto e = kind == LogindKind::stand_in ? start_logind(rig, out.logind, deadline)
                                              : start_real_logind(rig, out.logind, deadline);
        !e.empty())
        return e;
    if (auto e = start_host(rig, {}, false, out.host); !e.empty())
        return e;
    out.fifo = open_fifo_writer(deadline);
    if (!out.fifo)
        return "the plug-in did not open the notification file";
    if (!wait_subscribed(out.logind, deadline))
        return "the monitor did not subscribe to PrepareForSleep";
    return {};
}

Reappearance feed_until_notified(const Rig& rig, Subscribed& run, std::string_view object_path, rig::Deadline deadline)
{
    static int probes = 0;
    Reappearance out;
    const size_t before = recorded_calls(rig).size();
    out.last_silenced_fed = rig::Clock::now();
    while (rig::Clock::now() < deadline) {
        const auto fed = rig::Clock::now();
        if (!feed(run.fifo.get(), object_path, "/usr/bin/probe-" + std::to_string(++probes), deadline)
            || !wait_until_reader_idle(run.host.pid, run.fifo.get(), deadline))
            break;
        // The server records a call before it answers, and the reader waits
        // for the answer: a notified record is on file by now.
        if (recorded_calls(rig).size() > before) {
            out.seen = true;
            out.notified = rig::Clock::now();
            break;
        }
        out.last_silenced_fed = fed;
    }
    return out;
}

HostRun run_host(const Rig& rig, const std::vector<std::string>& options, const std::vector<std::string>& environment)
{
    HostRun run;
    rig::ChildProcess host;
    if (run.error = start_host(rig, options, false, host, environment); !run.error.empty())
        return run;
    run.pid = host.pid;
    const auto deadline = rig::deadline_in(patience);
    std::istringstream lines(rig::read_rest(host, deadline));
    for (std::string line; std::getline(lines, line);)
        run.output.push_back(line);
    const auto status = rig::wait_exit(host, deadline);
    if (!status) {
        run.error = "the host did not end";
        return run;
    }
    run.exit_status = *status;
    return run;
}

HostConfinement host_confinement()
{
    HostConfinement result;
    rig::ChildProcess host;
    if (result.error = rig::spawn({TOLVANE_NOTIFY_HOST, "--can-confine"}, {}, host); !result.error.empty())
        return result;
    const auto deadline = rig::deadline_in(patience);
    const std::string output = rig::read_rest(host, deadline);
    const auto status = rig::wait_exit(host, deadline);
    const std::string_view cannot = "cannot confine: ";
    if (status == 0 && output == "can confine\n")
        return result;
    if (status == 3 && output.starts_with(cannot) && output.size() > cannot.size() + 1 && output.ends_with('\n')) {
        result.unavailable = output.substr(cannot.size(), output.size() - cannot.size() - 1);
        return result;
    }
    result.error = "tolvane-notify-host --can-confine: exit status " + (status ? std::to_string(*status) : "none")
        + ", output '" + output + "'";
    return result;
}

std::filesystem::path wait_for_bus_wait(pid_t host, bool limited, rig::Deadline deadline)
{
    const std::string tasks = "/proc/" + std::to_string(host) + "/task";
    for (;;) {
        std::error_code ec;
        for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
            std::string number, fds, nfds, timeout;
            std::ifstream(task.path() / "syscall") >> number >> fds >> nfds >> timeout;
            if (number == std::to_string(SYS_ppoll) && (timeout != "0x0") == limited)
                return task.path();
        }
        if (rig::Clock::now() >= deadline)
            return {};
        ::poll(nullptr, 0, 2);
    }
}

std::vector<rig::RecordedCall> recorded_calls(const Rig& rig)
{
    std::ifstream f(rig.calls_path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::vector<rig::RecordedCall> calls;
    // A last line without its line feed is still being written: not yet a call.
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        auto call = rig::parse_recorded_call(line);
        if (!call) {
            // Keep the count honest: an unreadable line is still a call.
            rig::RecordedCall broken;
            broken.summary = "UNPARSABLE: " + line;
            calls.push_back(broken);
            continue;
        }
        calls.push_back(*call);
    }
    return calls;
}

std::vector<rig::RecordedCall> wait_for_calls(const Rig& rig, size_t count, rig::Deadline deadline)
{
    for (;;) {
        auto calls = recorded_calls(rig);
        if (calls.size() >= count || rig::Clock::now() >= deadline)
            return calls;
        ::poll(nullptr, 0, 10);
    }
}

std::vector<std::string> drain_log(const Rig& rig)
{
    std::vector<std::string> datagrams;
    while (auto d = rig::receive_datagram(rig.log.get(), rig::Clock::now()))
        datagrams.push_back(*d);
    return datagrams;
}

std::vector<std::string> wait_for_log(const Rig& rig, size_t count, rig::Deadline deadline)
{
    std::vector<std::string> datagrams;
    while (datagrams.size() < count) {
        auto d = rig::receive_datagram(rig.log.get(), deadline);
        if (!d)
            break;
        datagrams.push_back(*d);
    }
    return datagrams;
}

namespace {
bool blocked_in_read(pid_t pid)
{
    // The kernel shows a thread's system call only while it is blocked in it.
    std::string syscall;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/syscall"), syscall);
    return syscall.starts_with(std::to_string(SYS_read) + " ");
}
} // namespace

std::optional<pid_t> wait_for_thread_blocked_in_read(pid_t pid, rig::Deadline deadline)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (;;) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(tasks, error)) {
            const pid_t thread = std::stoi(entry.path().filename().string());
            if (blocked_in_read(thread))
                return thread;
        }
        if (rig::Clock::now() >= deadline)
            return std::nullopt;
        ::poll(nullptr, 0, 2);
    }
}

bool wait_until_blocked_in_read(pid_t pid, rig::Deadline deadline)
{
    for (;;) {
        if (blocked_in_read(pid))
            return true;
        if (rig::Clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, 2);
    }
}

bool wait_until_reader_idle(pid_t host, int fifo_writer, rig::Deadline deadline)
{
    for (;;) {
        int unread = -1;
        if (::ioctl(fifo_writer, FIONREAD, &unread) == 0 && unread == 0 && blocked_in_read(host))
            return true;
        if (rig::Clock::now() >= deadline)
            return false;
        ::poll(nullptr, 0, 2);
    }
}

namespace {
// "FD -> what it names" for each descriptor of the process, 0 to 2 aside,
// that has no close-on-exec.
std::set<std::string> descriptors_without_cloexec(const std::string& proc)
{
    std::set<std::string> out;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd", error)) {
        const std::string fd = entry.path().filename().string();
        if (fd == "0" || fd == "1" || fd == "2")
            continue;
        // "flags:" is in octal, as open(2) takes them.
        std::ifstream info(proc + "/fdinfo/" + fd);
        long flags = -1;
        for (std::string field; info >> field;)
            if (field == "flags:" && info >> std::oct >> flags)
                break;
        if (flags < 0 || (flags & O_CLOEXEC) == 0)
            out.insert(fd + " -> " + std::filesystem::read_symlink(entry.path(), error).string());
    }
    return out;
}
} // namespace

std::vector<std::string> inheritable_descriptors(pid_t pid)
{
    const auto inherited = descriptors_without_cloexec("/proc/self");
    std::vector<std::string> out;
    for (const auto& d : descriptors_without_cloexec("/proc/" + std::to_string(pid)))
        if (!inherited.count(d))
            out.push_back(d);
    return out;
}

std::string ident_of(pid_t pid)
{
    return "tolvane-daemon[" + std::to_string(pid) + "]";
}

void PrintTo(const Logged& line, std::ostream* out)
{
    *out << "<" << line.priority << "> " << line.message;
}

std::vector<Logged> logged_lines(const std::vector<std::string>& datagrams, pid_t host)
{
    std::vector<Logged> out;
    for (const auto& d : datagrams) {
        const auto line = rig::parse_syslog_datagram(d);
        if (!line) {
            ADD_FAILURE() << "not a syslog datagram: " << d;
            continue;
        }
        EXPECT_EQ(line->ident, ident_of(host)) << d;
        out.push_back({line->priority, line->message});
    }
    return out;
}

std::vector<std::string> summaries(const std::vector<rig::RecordedCall>& calls)
{
    std::vector<std::string> out;
    for (const auto& c : calls)
        out.push_back(c.summary);
    return out;
}

} // namespace e2e

namespace rig {
void PrintTo(const RecordedCall& call, std::ostream* out)
{
    *out << format_recorded_call(call);
}
} // namespace rig
