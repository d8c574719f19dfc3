#include "child_process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

extern char** environ;

namespace rig {
namespace {

int poll_timeout_ms(Deadline deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), 60'000));
}

bool poll_until(int fd, short events, Deadline deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, poll_timeout_ms(deadline));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (Clock::now() >= deadline)
            return false;
    }
}

std::vector<std::string> child_environment(const std::vector<std::string>& changes)
{
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        vars[entry.substr(0, entry.find('='))] = entry;
    }
    for (const auto& c : changes) {
        const auto eq = c.find('=');
        if (eq == std::string::npos)
            vars.erase(c);
        else
            vars[c.substr(0, eq)] = c;
    }
    std::vector<std::string> out;
    for (auto& [name, entry] : vars)
        out.push_back(entry);
    return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> p;
    for (auto& t : texts)
        p.push_back(t.data());
    p.push_back(nullptr);
    return p;
}

// Reads what is available into child.unread; false at end of output.
bool fill(ChildProcess& child, Deadline deadline)
{
    if (!child.stdout_fd || !poll_until(child.stdout_fd.get(), POLLIN, deadline))
        return false;
    char buf[4096];
    const ssize_t n = ::read(child.stdout_fd.get(), buf, sizeof buf);
    if (n <= 0)
        return false;
    child.unread.append(buf, static_cast<size_t>(n));
    return true;
}

void drop_all_capabilities()
{
    // Keep exec from handing the capabilities of uid 0 back.
    ::prctl(PR_SET_SECUREBITS,
        SECBIT_NOROOT | SECBIT_NOROOT_LOCKED | SECBIT_NO_SETUID_FIXUP | SECBIT_NO_SETUID_FIXUP_LOCKED);
    for (int cap = 0; cap <= CAP_LAST_CAP; ++cap)
        ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ::syscall(SYS_capset, &header, data);
}

// In the forked child: only async-signal-safe calls from here on. A rig
// child dies with the process that started it, so that a test that crashes
// leaves no bus daemon or server behind.
[[noreturn]] void exec_child(pid_t parent, int in_fd, int out_fd, int err_fd, int status_fd,
    const std::vector<char*>& argp, const std::vector<char*>& envp, const SpawnOptions& options)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
    if ((in_fd >= 0 && ::dup2(in_fd, STDIN_FILENO) < 0) || (out_fd >= 0 && ::dup2(out_fd, STDOUT_FILENO) < 0)
        || (err_fd >= 0 && ::dup2(err_fd, STDERR_FILENO) < 0)) {
        const int e = errno;
        (void)!::write(status_fd, &e, sizeof e);
        ::_exit(127);
    }
    // As a shell starts a command: every signal at its default and none
    // blocked, whatever the process that runs the tests ignores or blocks
    // (a testbed may ignore SIGHUP, and exec keeps an ignored signal so).
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        struct sigaction default_action = {};
        default_action.sa_handler = SIG_DFL;
        ::sigaction(signal_number, &default_action, nullptr);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.umask)
        ::umask(*options.umask);
    if (options.without_capabilities)
        drop_all_capabilities();
    ::execvpe(argp[0], argp.data(), envp.data());
    const int e = errno;
    (void)!::write(status_fd, &e, sizeof e);
    ::_exit(127);
}

int decode_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

// The pid moves, never copies: whoever holds it kills and reaps the child.
ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      pidfd(std::move(other.pidfd)),
      stdin_fd(std::move(other.stdin_fd)),
      stdout_fd(std::move(other.stdout_fd)),
      unread(std::move(other.unread)),
      exit_status(other.exit_status)
{
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
    if (this != &other) {
        kill_and_reap(*this, SIGKILL);
        pid = std::exchange(other.pid, -1);
        pidfd = std::move(other.pidfd);
        stdin_fd = std::move(other.stdin_fd);
        stdout_fd = std::move(other.stdout_fd);
        unread = std::move(other.unread);
        exit_status = other.exit_status;
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    kill_and_reap(*this, SIGKILL);
}

Status spawn(const std::vector<std::string>& argv, const SpawnOptions& options, ChildProcess& out)
{
    int in_pipe[2] = {-1, -1};
    int out_pipe[2] = {-1, -1};
    if (options.pipe_stdin && ::pipe2(in_pipe, O_CLOEXEC) != 0)
        return Status::failed_errno("pipe");
    unique_fd in_read(in_pipe[0]), in_write(in_pipe[1]);
    if (options.pipe_stdout && ::pipe2(out_pipe, O_CLOEXEC) != 0)
        return Status::failed_errno("pipe");
    unique_fd out_read(out_pipe[0]), out_write(out_pipe[1]);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = child_environment(options.environment);
    auto argp = pointers(args);
    auto envp = pointers(env);
    unique_fd err_fd;
    if (!options.stderr_path.empty()) {
        err_fd.reset(::open(options.stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!err_fd)
            return Status::failed_errno("open " + options.stderr_path);
    }
    // The child reports a failed exec through this pipe, which closes
    // unread when the exec succeeds.
    int status_pipe[2] = {-1, -1};
    if (::pipe2(status_pipe, O_CLOEXEC) != 0)
        return Status::failed_errno("pipe");
    unique_fd status_read(status_pipe[0]), status_write(status_pipe[1]);

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0)
        return Status::failed_errno("fork");
    if (pid == 0)
        exec_child(parent, in_read.get(), out_write.get(), err_fd.get(), status_write.get(), argp, envp, options);
    status_write.reset();
    int exec_errno = 0;
    if (::read(status_read.get(), &exec_errno, sizeof exec_errno) == sizeof exec_errno) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) { }
        return Status::failed("exec " + argv[0] + ": " + std::strerror(exec_errno));
    }

    ChildProcess child;
    child.pid = pid;
    child.pidfd = unique_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    child.stdin_fd = std::move(in_write);
    child.stdout_fd = std::move(out_read);
    out = std::move(child);
    return Status::ok();
}

std::optional<std::string> read_line(ChildProcess& child, Deadline deadline)
{
    for (;;) {
        const auto nl = child.unread.find('\n');
        if (nl != std::string::npos) {
            std::string line = child.unread.substr(0, nl);
            child.unread.erase(0, nl + 1);
            return line;
        }
        if (!fill(child, deadline))
            return std::nullopt;
    }
}

std::string read_rest(ChildProcess& child, Deadline deadline)
{
    while (fill(child, deadline)) { }
    return std::exchange(child.unread, {});
}

std::optional<int> wait_exit(ChildProcess& child, Deadline deadline)
{
    if (child.exit_status || child.pid < 0)
        return child.exit_status;
    if (child.pidfd) {
        if (!poll_until(child.pidfd.get(), POLLIN, deadline))
            return std::nullopt;
    }
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(child.pid, &status, child.pidfd ? 0 : WNOHANG);
        if (r == child.pid)
            break;
        if (r < 0 && errno != EINTR)
            return std::nullopt;
        if (r == 0) {
            // No pidfd on this kernel: look again shortly, until the deadline.
            if (Clock::now() >= deadline)
                return std::nullopt;
            ::poll(nullptr, 0, 5);
        }
    }
    child.exit_status = decode_status(status);
    child.pid = -1;
    child.pidfd.reset();
    return child.exit_status;
}

void kill_and_reap(ChildProcess& child, int signal_number)
{
    if (child.pid < 0)
        return;
    ::kill(child.pid, signal_number);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) { }
    child.exit_status = decode_status(status);
    child.pid = -1;
    child.pidfd.reset();
}

Status write_all(int fd, const char* data, size_t size, Deadline deadline)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return Status::failed_errno("write");
        if (!poll_until(fd, POLLOUT, deadline))
            return Status::failed("no room to write before the deadline");
    }
    return Status::ok();
}

bool wait_readable(int fd, Deadline deadline)
{
    return poll_until(fd, POLLIN, deadline);
}

} // namespace rig
