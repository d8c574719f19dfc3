#include "log_socket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace rig {

Status bind_log_socket(const std::string& path, unique_fd& out)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return Status::failed("socket path too long: " + path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unique_fd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return Status::failed_errno("socket");
    ::unlink(path.c_str());
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return Status::failed_errno("bind " + path);
    out = std::move(fd);
    return Status::ok();
}

std::optional<std::string> receive_datagram(int fd, Deadline deadline)
{
    for (;;) {
        char buf[8192];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n >= 0)
            return std::string(buf, static_cast<size_t>(n));
        if (errno != EAGAIN && errno != EINTR)
            return std::nullopt;
        if (!wait_readable(fd, deadline))
            return std::nullopt;
    }
}

std::optional<SyslogLine> parse_syslog_datagram(const std::string& datagram)
{
    // glibc: "<%d>" then the time stamp "%h %e %T " (16 bytes), then the message.
    constexpr size_t stamp_size = 16;
    if (datagram.size() < 3 || datagram[0] != '<')
        return std::nullopt;
    const auto close = datagram.find('>');
    if (close == std::string::npos || close == 1)
        return std::nullopt;
    SyslogLine line;
    line.priority = 0;
    for (size_t i = 1; i < close; ++i) {
        if (datagram[i] < '0' || datagram[i] > '9')
            return std::nullopt;
        line.priority = line.priority * 10 + (datagram[i] - '0');
    }
    const size_t rest = close + 1 + stamp_size;
    if (datagram.size() < rest)
        return std::nullopt;
    const auto colon = datagram.find(": ", rest);
    if (colon == std::string::npos)
        return std::nullopt;
    line.ident = datagram.substr(rest, colon - rest);
    line.message = datagram.substr(colon + 2);
    return line;
}

} // namespace rig
