#include "notify_e2e/syslog.h"

#include "log_socket.h"

#include <gtest/gtest.h>

namespace e2e {

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

} // namespace e2e
