// Probing the host through /proc: where its threads wait, and what a
// program it starts would inherit. The kernel shows a thread's system call
// only while the thread is blocked in it, so each wait below looks again
// until the deadline.
#pragma once

#include "child_process.h"
#include "status.h"

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

// Whether the thread is blocked in a read of what `writer` writes to: a
// thread that valgrind holds back waits in a read too, of the tool's pipe.
bool blocked_reading(pid_t thread, int writer);

// Waits until the host's main thread has taken every byte written to the
// FIFO and is blocked reading for more: every record written so far has
// then been handled.
rig::Status wait_until_reader_idle(pid_t host, int fifo_writer, rig::Deadline deadline);

// Waits until the thread (a process's main thread, by its pid) is blocked
// reading; a reader of a pipe or FIFO blocks only once it has taken
// everything in it.
rig::Status wait_until_blocked_in_read(pid_t thread, rig::Deadline deadline);

// Waits until one thread of the process is blocked reading; `thread`
// receives its id, which the two waits above take as well.
rig::Status wait_for_thread_blocked_in_read(pid_t pid, rig::Deadline deadline, pid_t& thread);

// Waits until some thread of the host blocks in ppoll (a bus wait) with (or
// without) a time limit: its third argument points to one, or is null. The
// monitor waits without one while notifications are on, with one while they
// are silenced; the reader waits for an answer to Notify with one. `task`
// receives the thread's directory in /proc.
rig::Status wait_for_bus_wait(pid_t host, bool limited, rig::Deadline deadline, std::filesystem::path& task);
inline rig::Status wait_for_bus_wait(pid_t host, bool limited, rig::Deadline deadline)
{
    std::filesystem::path task;
    return wait_for_bus_wait(host, limited, deadline, task);
}

// The process's descriptors other than 0, 1 and 2 that a program it starts
// would inherit (no close-on-exec), as "FD -> what it names"; those that it
// inherited from this process the same way are left out.
std::vector<std::string> inheritable_descriptors(pid_t pid);

} // namespace e2e
