// The receiving end of /dev/log: a datagram unix socket whose datagrams are
// the exact bytes glibc's syslog() sends, plus a reader for those bytes.
#pragma once

#include "child_process.h"
#include "status.h"
#include "unique_fd.h"

#include <optional>
#include <string>

namespace rig {

// Binds a datagram socket at `path`, replacing whatever socket was there.
Status bind_log_socket(const std::string& path, unique_fd& out);

// The next datagram, or nullopt at the deadline.
std::optional<std::string> receive_datagram(int fd, Deadline deadline);

// One syslog datagram as glibc writes it: "<PRI>Mmm dd hh:mm:ss IDENT: MESSAGE".
struct SyslogLine {
    int priority = -1; // facility * 8 + level
    std::string ident; // "tolvane-daemon[1234]"
    std::string message; // everything after "IDENT: ", byte for byte
};

std::optional<SyslogLine> parse_syslog_datagram(const std::string& datagram);

} // namespace rig
