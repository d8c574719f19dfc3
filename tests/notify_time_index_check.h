// Whether the rate limiter's time index agrees with its map: every entry of
// the map exactly once, under the time stored with it, no bucket left empty,
// each bucket found by its first entry in the order of admissions and no
// other, and the byte count the sum of the keys' lengths.
#pragma once

#include "rate_limiter.h"
#include "state_probes.h"

#include <cstddef>
#include <set>

inline bool time_index_agrees_with_map()
{
    const TimeIndexView index = message_time_index();
    const MessageTimeMap& map = message_time_map.value;
    std::set<const MessageTimeMap::value_type*> seen;
    std::size_t key_bytes = 0;
    for (const auto& bucket : index.buckets) {
        if (bucket.entries.empty() || !bucket.found_by_its_front)
            return false;
        for (const auto* entry : bucket.entries) {
            const auto found = map.find(entry->first);
            if (found == map.end() || &*found != entry || found->second != bucket.time || !seen.insert(entry).second)
                return false;
            key_bytes += entry->first.size();
        }
    }
    return seen.size() == map.size() && key_bytes == index.key_bytes && index.fronts == index.buckets.size();
}
