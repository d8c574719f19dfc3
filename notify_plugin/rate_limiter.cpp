#include "rate_limiter.h"

#include <iterator>
#include <limits>
#include <set>

// Load order: message_time_map, its index, then whitespace_chars
// (event_filter.cpp); unload in reverse.
__attribute__((init_priority(1000))) MessageTimeMap message_time_map;

namespace {

using TimeIndex = std::multimap<std::int64_t, MessageTimeMap::iterator>;
__attribute__((init_priority(1001))) TimeIndex time_index;

void erase_entry(TimeIndex::iterator at)
{
    message_time_map.erase(at->second);
    time_index.erase(at);
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    return sum;
}

} // namespace

void update_message_time_map(std::int64_t now)
{
    // Stale means t < now - window or t > now + window. Where the bound
    // does not fit in 64 bits no stored time can lie beyond it.
    const std::int64_t oldest_fresh = saturating_add(now, -rate_limit_window);
    const std::int64_t newest_fresh = saturating_add(now, rate_limit_window);
    while (!time_index.empty() && time_index.begin()->first < oldest_fresh)
        erase_entry(time_index.begin());
    while (!time_index.empty() && std::prev(time_index.end())->first > newest_fresh)
        erase_entry(std::prev(time_index.end()));
}

Admission admit_message(std::string key, std::int64_t now)
{
    const auto hint = message_time_map.lower_bound(key);
    if (hint != message_time_map.end() && hint->first == key)
        return Admission::repeat;
    if (message_time_map.size() >= message_time_map_cap)
        return Admission::full;
    const auto entry = message_time_map.emplace_hint(hint, std::move(key), now);
    try {
        time_index.emplace(now, entry);
    } catch (...) {
        message_time_map.erase(entry); // keep the two in step
        throw;
    }
    return Admission::first;
}

void clear_message_time_map()
{
    time_index.clear();
    message_time_map.clear();
}

bool message_time_index_agrees()
{
    if (time_index.size() != message_time_map.size())
        return false;
    std::set<const std::string*> seen;
    for (const auto& [time, entry] : time_index) {
        const auto found = message_time_map.find(entry->first);
        if (found != entry || found->second != time || !seen.insert(&found->first).second)
            return false;
    }
    return true;
}
