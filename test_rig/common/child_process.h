// Child processes of the rig (bus daemons, the notification server, the
// plug-in host): started with pipes, waited for with a deadline, and killed
// and reaped by their owner so that no test leaves a process behind.
#pragma once

#include "status.h"
#include "unique_fd.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace rig {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

inline Deadline deadline_in(std::chrono::milliseconds d)
{
    return Clock::now() + d;
}

struct ChildProcess {
    pid_t pid = -1;
    unique_fd pidfd; // readable once the child has ended
    unique_fd stdin_fd; // our end of the child's standard input, if piped
    unique_fd stdout_fd; // our end of the child's standard output, if piped
    std::string unread; // output read from the pipe but not yet handed out
    std::optional<int> exit_status;

    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();
};

struct SpawnOptions {
    bool pipe_stdin = false;
    bool pipe_stdout = true;
    std::string stderr_path; // appended to when set, else inherited
    // "NAME=VALUE" sets a variable for the child, "NAME" removes it.
    std::vector<std::string> environment;
    // The child's file-mode creation mask; inherited when unset.
    std::optional<mode_t> umask;
    // Runs the child with no capabilities at all (root included), so that
    // permission bits apply to it as to any user.
    bool without_capabilities = false;
};

// Starts argv[0] (a path, or a name looked up in PATH) with argv.
Status spawn(const std::vector<std::string>& argv, const SpawnOptions& options, ChildProcess& out);

// The next line of the child's output without its line feed; nullopt at
// the deadline or when the output ends first.
std::optional<std::string> read_line(ChildProcess& child, Deadline deadline);

// Everything the child writes until it closes its output, or until the deadline.
std::string read_rest(ChildProcess& child, Deadline deadline);

// Waits for the child to end and reaps it. The status is the exit code, or
// 128 + the signal number for a child killed by a signal.
std::optional<int> wait_exit(ChildProcess& child, Deadline deadline);

// Kills the child (if still running) and reaps it.
void kill_and_reap(ChildProcess& child, int signal_number);

// Writes all of data, waiting for room with a deadline.
Status write_all(int fd, const char* data, size_t size, Deadline deadline);

// Waits until fd is readable; false at the deadline.
bool wait_readable(int fd, Deadline deadline);

} // namespace rig
