// Arbitrary bytes as the notification file: records go through the real
// reader and notify_message, with the bus step replaced and a clock that the
// input drives. After each record the rate limiter must agree with a plain
// model of it (a map purged by walking every entry), and its own invariants
// must hold.
#include "../notify_rate_limit_model.h"
#include "../notify_time_index_check.h"
#include "clock.h"
#include "desktop_notification.h"
#include "event_filter.h"
#include "notify.h"
#include "notify_onoff.h"
#include "notify_steps.h"
#include "rate_limiter.h"
#include "record_reader.h"
#include "state_probes.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace {

std::int64_t fuzz_now = 0;
int sends = 0;

std::int64_t fuzz_clock()
{
    return fuzz_now;
}

int count_send(EventKind, const char*, const char*)
{
    ++sends;
    return 1;
}

model::Limiter limiter;
const std::uint8_t* tape = nullptr;
std::size_t tape_size = 0;
std::size_t record_index = 0;

bool bytewise_less(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
        [](char x, char y) { return static_cast<unsigned char>(x) < static_cast<unsigned char>(y); });
}

void check_record(void*, const char* object_path, const char* program_text)
{
    // The bytes after the last whole record, which the reader drops, drive
    // the clock: each record moves it by a signed step, -128 s to +127 s.
    if (tape_size != 0)
        fuzz_now += static_cast<std::int8_t>(tape[record_index % tape_size]);
    ++record_index;

    const int sends_before = sends;
    notify_message(object_path, program_text);
    const bool let_through = limiter.event(object_path, program_text, fuzz_now);

    if (sends - sends_before != (let_through ? 1 : 0) || message_time_map.value.size() != limiter.times.size())
        std::abort();
    if (!time_index_agrees_with_map())
        std::abort();
    const std::string* previous = nullptr;
    for (const auto& [key, time] : message_time_map.value) {
        if (previous != nullptr && !bytewise_less(*previous, key))
            std::abort();
        const auto found = limiter.times.find(key);
        if (found == limiter.times.end() || found->second != time)
            std::abort();
        previous = &key;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    notify_steps::notify_clock = fuzz_clock;
    notify_steps::send_notification_step = count_send;
    clear_message_time_map();
    set_notifications_enabled(1);
    fuzz_now = 1'700'000'000;
    sends = 0;
    limiter = model::Limiter{};
    record_index = 0;
    tape = data + size / 1024 * 1024;
    tape_size = size % 1024;

    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
    if (stream == nullptr)
        return 0;
    const std::size_t handed_on = read_records(stream, check_record, nullptr);
    std::fclose(stream);
    if (handed_on != size / 1024)
        std::abort();
    return 0;
}
