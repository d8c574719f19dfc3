#include "process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/securebits.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

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

std::string read_to_end(int fd)
{
    std::string text;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

} // namespace

RunningProcess start_process(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return {};
    if (::pipe2(err, O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return {};
    }
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::umask(options.umask);
        if (options.without_capabilities)
            drop_all_capabilities();
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    if (pid < 0) {
        ::close(out[0]);
        ::close(err[0]);
        return {};
    }
    return {pid, out[0], err[0]};
}

ProcessResult finish_process(RunningProcess& process)
{
    ProcessResult result;
    if (process.pid < 0)
        return result;
    // The programs under test print a few lines at most, far below a pipe's capacity.
    result.out = read_to_end(process.out_fd);
    result.err = read_to_end(process.err_fd);
    ::close(process.out_fd);
    ::close(process.err_fd);
    int status = 0;
    while (::waitpid(process.pid, &status, 0) < 0 && errno == EINTR) { }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    process = {};
    return result;
}

ProcessResult run_process(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    RunningProcess p = start_process(argv, options);
    return finish_process(p);
}
