#include "rate_limiter.h"

#include "state_probes.h"

#include <cstdint>
#include <deque>
#include <iterator>
#include <limits>

NeverDestroyed<MessageTimeMap> message_time_map;

namespace {

// One entry of the index: the entry of the map, and where it came in the
// order of admissions.
struct Admitted {
    std::uint64_t order;
    MessageTimeMap::iterator entry;
};
using Buckets = std::map<std::int64_t, std::deque<Admitted>>;

// The entries by the second they were let through, each second's in the
// order they came. Every purge leaves only times within the window around
// its now, and a key is stored at the now of the purge just before it, so
// there are never more than a few score buckets; an entry costs the index
// two words. The first entry admitted of all, the one to give way at the
// bound, is the front of one bucket whatever the clock did: `fronts` names
// each bucket by the order of its front.
struct TimeIndex {
    Buckets by_time;
    std::map<std::uint64_t, Buckets::iterator> fronts;
    std::uint64_t admissions = 0;
    std::size_t key_bytes = 0; // the length of all keys together
};
NeverDestroyed<TimeIndex> time_index;

MessageTimeMap& entries()
{
    return message_time_map.value;
}

void erase_bucket(Buckets::iterator bucket)
{
    TimeIndex& index = time_index.value;
    index.fronts.erase(bucket->second.front().order);
    for (const auto& admitted : bucket->second) {
        index.key_bytes -= admitted.entry->first.size();
        entries().erase(admitted.entry);
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

// The entry admitted first gives way. Erasing frees, the bucket's next
// entry takes over its front's node, so nothing is allocated and nothing
// can fail.
void evict_first_admitted() noexcept
{
    TimeIndex& index = time_index.value;
    auto front = index.fronts.extract(index.fronts.begin());
    const auto bucket = front.mapped();
    const MessageTimeMap::iterator entry = bucket->second.front().entry;
    index.key_bytes -= entry->first.size();
    entries().erase(entry);
    bucket->second.pop_front();
    if (bucket->second.empty()) {
        index.by_time.erase(bucket);
        return;
    }
    front.key() = bucket->second.front().order;
    index.fronts.insert(std::move(front));
}

} // namespace

void update_message_time_map(std::int64_t now)
{
    // Stale means t < now - window or t > now + window. Where the bound
    // does not fit in 64 bits no stored time can lie beyond it.
    const std::int64_t oldest_fresh = saturating_add(now, -rate_limit_window);
    const std::int64_t newest_fresh = saturating_add(now, rate_limit_window);
    // Not const: erase_bucket changes it through the iterators.
    // cppcheck-suppress constVariableReference
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
        evict_first_admitted();
    if (evicted)
        hint = entries().lower_bound(key); // the old one may have gone
    // A key built by appending may hold up to twice its length; the budget
    // counts what is stored.
    key.shrink_to_fit();
    const std::size_t length = key.size();

    // The map and its index change together or not at all: whatever fails
    // takes back what came before it.
    TimeIndex& index = time_index.value;
    const std::uint64_t order = index.admissions;
    const auto bucket = index.by_time.try_emplace(now).first;
    const bool new_bucket = bucket->second.empty();
    try {
        if (new_bucket)
            index.fronts.emplace(order, bucket);
        const auto entry = entries().emplace_hint(hint, std::move(key), now);
        try {
            bucket->second.push_back({order, entry});
        } catch (...) {
            entries().erase(entry);
            throw;
        }
    } catch (...) {
        if (new_bucket) {
            index.fronts.erase(order); // nothing, if that is what failed
            index.by_time.erase(bucket);
        }
        throw;
    }
    ++index.admissions;
    index.key_bytes += length;
    return Admission::first;
}

void clear_message_time_map()
{
    time_index.value.by_time.clear();
    time_index.value.fronts.clear();
    time_index.value.key_bytes = 0;
    entries().clear();
}

TimeIndexView message_time_index()
{
    const TimeIndex& index = time_index.value;
    TimeIndexView view{{}, index.fronts.size(), index.key_bytes};
    for (auto bucket = index.by_time.begin(); bucket != index.by_time.end(); ++bucket) {
        const auto front
            = bucket->second.empty() ? index.fronts.end() : index.fronts.find(bucket->second.front().order);
        view.buckets.push_back({bucket->first, {}, front != index.fronts.end() && front->second == bucket});
        for (const auto& admitted : bucket->second)
            view.buckets.back().entries.push_back(&*admitted.entry);
    }
    return view;
}
