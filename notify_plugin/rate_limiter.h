// One notification per rate-limit key and minute. message_time_map holds, for
// each key let through lately, the time it was let through; a second index
// by that time lets the purge find stale entries at its two ends instead of
// walking every key.
#pragma once

#include "never_destroyed.h"
#include "notify_export.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

using MessageTimeMap = std::map<std::string, std::int64_t>;

// Keys compare bytewise as unsigned bytes (char_traits<char>::compare is
// memcmp), shorter first on a tie. Change it only through the functions
// below. Exported as the map itself; never destroyed (see never_destroyed.h).
NOTIFY_EXPORT extern NeverDestroyed<MessageTimeMap> message_time_map;

// An entry is fresh while -window <= now - t <= window, both bounds included.
inline constexpr std::int64_t rate_limit_window = 60;

// A flood of distinct keys within one minute must not grow the map without
// bound, whatever the length of the keys: the map holds at most this many
// keys, and their text at most this many bytes. Nor may a flood hide anyone
// else's event: a new key that does not fit is still let in, and the oldest
// keys give way to it. One that gave way may then be notified again within
// its minute, which only a flood brings about. Each key is stored at exactly
// its length.
inline constexpr std::size_t message_time_map_cap = 65536;
inline constexpr std::size_t message_time_map_key_budget = std::size_t{8} * 1024 * 1024;

// Erases every entry whose time lies more than the window away from now, in
// either direction (the clock may have been set back).
NOTIFY_EXPORT void update_message_time_map(std::int64_t now);

// `too_long`: a key longer than the whole budget, never stored.
enum class Admission { first, repeat, too_long };

// Looks the key up; if it is absent, stores now under it, first making room
// by erasing the entries admitted first where the map is full (in the order
// they came, not by the times stored with them, which a clock set back
// would make the newest look oldest). A stored time is never refreshed, so
// repeats do not stretch the window.
Admission admit_message(std::string key, std::int64_t now);
