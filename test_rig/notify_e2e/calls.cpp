#include "notify_e2e/calls.h"

#include "file_text.h"

#include <poll.h>

namespace e2e {

std::vector<rig::RecordedCall> recorded_calls(const Rig& rig)
{
    const std::string text = rig::file_text(rig.calls_path);
    std::vector<rig::RecordedCall> calls;
    // A last line without its line feed is still being written: not yet a call.
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        auto call = rig::parse_recorded_call(line);
        if (!call) {
            // Keep the count honest: an unreadable line is still a call.
            rig::RecordedCall broken;
            broken.summary = "UNPARSABLE: " + line;
            calls.push_back(broken);
            continue;
        }
        calls.push_back(*call);
    }
    return calls;
}

std::vector<rig::RecordedCall> wait_for_calls(const Rig& rig, size_t count, rig::Deadline deadline)
{
    for (;;) {
        auto calls = recorded_calls(rig);
        if (calls.size() >= count || rig::Clock::now() >= deadline)
            return calls;
        ::poll(nullptr, 0, 10);
    }
}

std::vector<std::string> summaries(const std::vector<rig::RecordedCall>& calls)
{
    std::vector<std::string> out;
    for (const auto& c : calls)
        out.push_back(c.summary);
    return out;
}

} // namespace e2e

namespace rig {
void PrintTo(const RecordedCall& call, std::ostream* out)
{
    *out << format_recorded_call(call);
}
} // namespace rig
