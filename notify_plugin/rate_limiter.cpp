#include "rate_limiter.h"

#include "test_seams.h"

#include <deque>
#include <iterator>
#include <limits>

NeverDestroyed<MessageTimeMap> message_time_map;

namespace {

// The entries by the second they were let through, each second's in the
// order they came, so the oldest entry is always at the front of the first
// bucket. Every purge leaves only times within the window around its now,
// and a key is stored at the now of the purge just before it, so there are
// never more than a few score buckets; an entry costs the index one pointer.
struct TimeIndex {
    std::map<std::int64_t, std::deque<MessageTimeMap::iterator>> by_time;
    std::size_t key_bytes = 0; // the length of all keys together
};
NeverDestroyed<TimeIndex> time_index;

MessageTimeMap& entries()
{
    return message_time_map.value;
}

void erase_bucket(decltype(TimeIndex::by_time)::iterator bucket)
{
    TimeIndex& index = time_index.value;
    for (const auto entry : bucket->second) {
        index.key_bytes -= entry->first.size();
        entries().erase(entry);
    }
    index.by_time.erase(bucket);
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return b < 0 ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    return sum;
}

bool has_room_for(const std::string& key)
{
    return entries().size() < message_time_map_cap
        && key.size() <= message_time_map_key_budget - time_index.value.key_bytes;
}

// The front of the first bucket gives way: the oldest entry. Erasing frees,
// allocates nothing, and cannot fail.
void evict_oldest() noexcept
{
    TimeIndex& index = time_index.value;
    const auto bucket = index.by_time.begin();
    const auto entry = bucket->second.front();
    index.key_bytes -= entry->first.size();
    entries().erase(entry);
    bucket->second.pop_front();
    if (bucket->second.empty())
        index.by_time.erase(bucket);
}

} // namespace

void update_message_time_map(std::int64_t now)
{
    // Stale means t < now - window or t > now + window. Where the bound
    // does not fit in 64 bits no stored time can lie beyond it.
    const std::int64_t oldest_fresh = saturating_add(now, -rate_limit_window);
    const std::int64_t newest_fresh = saturating_add(now, rate_limit_window);
    auto& by_time = time_index.value.by_time;
    while (!by_time.empty() && by_time.begin()->first < oldest_fresh)
        erase_bucket(by_time.begin());
    while (!by_time.empty() && std::prev(by_time.end())->first > newest_fresh)
        erase_bucket(std::prev(by_time.end()));
}

Admission admit_message(std::string key, std::int64_t now)
{
    if (key.size() > message_time_map_key_budget)
        return Admission::too_long;
    auto hint = entries().lower_bound(key);
    if (hint != entries().end() && hint->first == key)
        return Admission::repeat;
    bool evicted = false;
    for (; !has_room_for(key); evicted = true)
        evict_oldest();
    if (evicted)
        hint = entries().lower_bound(key); // the old one may have gone
    // A key built by appending may hold up to twice its length; the budget
    // counts what is stored.
    key.shrink_to_fit();
    const std::size_t length = key.size();

    // The map and its index change together or not at all: whatever fails
    // takes back what came before it.
    auto& by_time = time_index.value.by_time;
    const auto bucket = by_time.try_emplace(now).first;
    auto& bucket_entries = bucket->second;
    try {
        const auto entry = entries().emplace_hint(hint, std::move(key), now);
        try {
            bucket_entries.push_back(entry);
        } catch (...) {
            entries().erase(entry);
            throw;
        }
    } catch (...) {
        if (bucket_entries.empty())
            by_time.erase(bucket);
        throw;
    }
    time_index.value.key_bytes += length;
    return Admission::first;
}

void clear_message_time_map()
{
    time_index.value.by_time.clear();
    time_index.value.key_bytes = 0;
    entries().clear();
}

TimeIndexView message_time_index()
{
    TimeIndexView view{{}, time_index.value.key_bytes};
    for (const auto& [time, bucket] : time_index.value.by_time) {
        view.buckets.push_back({time, {}});
        for (const auto entry : bucket)
            view.buckets.back().entries.push_back(&*entry);
    }
    return view;
}
