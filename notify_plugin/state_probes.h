// What only the tests and benchmarks call: resets and an inspector of the
// plug-in's state. They stay in the shipped object because each reaches
// state private to the file that defines it (rate_limiter.cpp,
// sleep_monitor.cpp, logind_owner.cpp), which includes this header only to
// have its definitions checked against it; nothing in the plug-in calls them,
// and none is exported.
#pragma once

#include "rate_limiter.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Empties message_time_map and its time index together.
void clear_message_time_map();

// The time index as it stands, for checks that it agrees with the map: its
// buckets in order of time, each with the entries let through in that
// second in the order they came and whether the order of admissions finds
// it by its first entry, how many buckets that order names, and the byte
// count of the keys.
struct TimeIndexBucket {
    std::int64_t time;
    std::vector<const MessageTimeMap::value_type*> entries;
    bool found_by_its_front;
};
struct TimeIndexView {
    std::vector<TimeIndexBucket> buckets;
    std::size_t fronts;
    std::size_t key_bytes;
};
TimeIndexView message_time_index();

// Forgets any sleep, and any foreign sender, seen so far, as at the start
// of a monitor thread.
void reset_silence();

// As at the start of a monitor: nobody is known to own logind's name.
void forget_logind_owner();
