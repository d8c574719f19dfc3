#include "notify_e2e/subscribed.h"

#include "notify_e2e/calls.h"
#include "notify_e2e/host.h"
#include "notify_e2e/proc_probe.h"
#include "notify_e2e/records.h"

#include <string>

namespace e2e {

rig::Status start_subscribed(Rig& rig, Subscribed& out, rig::Deadline deadline, LogindKind kind)
{
    if (auto s = make_notify_fifo(); !s)
        return s;
    if (auto s = kind == LogindKind::stand_in ? start_logind(rig, out.logind, deadline)
                                              : start_real_logind(rig, out.logind, deadline);
        !s)
        return s;
    if (auto s = start_host(rig, {}, false, out.host); !s)
        return s;
    if (auto s = open_fifo_writer(deadline, out.fifo); !s)
        return s;
    return wait_subscribed(out.logind, deadline);
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

} // namespace e2e
