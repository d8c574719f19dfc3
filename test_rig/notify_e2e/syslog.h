// The plug-in's lines as they reach the rig's /dev/log.
#pragma once

#include "child_process.h"
#include "notify_e2e/rig.h"

#include <sys/types.h>

#include <cstddef>
#include <ostream>
#include <string>
#include <vector>

namespace e2e {

// Every datagram already queued on /dev/log.
std::vector<std::string> drain_log(const Rig& rig);
// The next `count` datagrams, or fewer at the deadline.
std::vector<std::string> wait_for_log(const Rig& rig, std::size_t count, rig::Deadline deadline);

inline constexpr int user_err = 8 + 3; // LOG_USER | LOG_ERR
inline constexpr int user_info = 8 + 6; // LOG_USER | LOG_INFO
std::string ident_of(pid_t pid); // "tolvane-daemon[PID]"

// A log line of the plug-in as it arrived on /dev/log, less its time stamp.
struct Logged {
    int priority;
    std::string message;
    bool operator==(const Logged&) const = default;
};
void PrintTo(const Logged& line, std::ostream* out);
// Parses the datagrams; one that is no syslog line, or comes from another
// process than `host` under another name, fails the test.
std::vector<Logged> logged_lines(const std::vector<std::string>& datagrams, pid_t host);

} // namespace e2e
