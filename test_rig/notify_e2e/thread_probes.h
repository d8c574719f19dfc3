// The host's threads and descriptors through /proc, for the failure tables:
// whether it ended or is traced, where its threads wait.
#pragma once

#include "child_process.h"
#include "status.h"

#include <sys/types.h>

#include <vector>

namespace e2e {

// Whether the process is gone or a zombie.
bool host_ended(pid_t pid);

// Whether a tracer is attached to the process.
bool traced(pid_t pid);

// Waits until a thread of the host is blocked in the system call.
rig::Status wait_for_thread_in(pid_t host, long number, rig::Deadline deadline);

// Whether the thread sleeps in ppoll with no time limit. Not while a
// tracer holds it at the call's entry (as strace does to fail the call):
// /proc shows the call there too, but the thread never sleeps in it.
bool waits_without_limit(pid_t thread);

// The host's threads.
std::vector<pid_t> threads_of(pid_t host);

// Waits until a thread of the host is blocked reading the notification file,
// and the FIFO holds nothing more for it.
rig::Status wait_for_file_reader(pid_t host, int fifo_writer, rig::Deadline deadline);

} // namespace e2e
