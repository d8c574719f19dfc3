#include "notify_rate_limit_model.h"
#include "notify_time_index_check.h"
#include "notify_unit_fakes.h"
#include "table_rows.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;

// Allocation failure on demand: once armed with n, the allocation after the
// next n ones throws, as when memory runs out. Kept out of line, so that the
// compiler pairs each new with its delete, not with malloc and free.
namespace {
std::atomic<long> allocations_before_failure{-1};
} // namespace

__attribute__((noinline)) void* operator new(std::size_t size)
{
    if (allocations_before_failure >= 0 && allocations_before_failure-- == 0)
        throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
// The nothrow form too: its memory comes back through the delete above.
__attribute__((noinline)) void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
__attribute__((noinline)) void operator delete(void* p) noexcept
{
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

// The rate limiter behind notify_message, with the stand-ins for its steps in place.
class RateLimiter : public ::testing::Test {
protected:
    void SetUp() override { fakes::install(); }
    void TearDown() override { fakes::restore(); }
};

struct Event {
    std::int64_t at; // seconds after the scenario's start
    std::string object_path;
    std::string program_text;
    bool notified;
};

struct Scenario {
    const char* name;
    std::vector<Event> events;
};

void run(const Scenario& scenario)
{
    SCOPED_TRACE(scenario.name);
    fakes::install();
    const std::int64_t start = fakes::now;
    for (const auto& e : scenario.events) {
        SCOPED_TRACE("event at +" + std::to_string(e.at) + " " + e.object_path + " / " + e.program_text);
        fakes::now = start + e.at;
        const std::size_t sent_before = fakes::sent.size();
        const int result = notify_message(e.object_path.c_str(), e.program_text.c_str());
        EXPECT_EQ(fakes::sent.size(), sent_before + (e.notified ? 1 : 0));
        EXPECT_EQ(result, e.notified ? fakes::send_result : 0);
        EXPECT_TRUE(time_index_agrees_with_map());
    }
}

const std::string doc = "/home/ann/Documents/a.txt";
const std::string app = "/usr/bin/app";

TEST_F(RateLimiter, LetsOneNotificationThroughPerKeyAndMinute)
{
    const Scenario scenarios[] = {
        {"a repeat at t+60 is dropped, one at t+61 notified",
            {{0, doc, app, true}, {60, doc, app, false}, {61, doc, app, true}}},
        {"repeats every 10 s are notified at t, t+70, t+140",
            {{0, doc, app, true}, {10, doc, app, false}, {20, doc, app, false}, {30, doc, app, false},
                {40, doc, app, false}, {50, doc, app, false}, {60, doc, app, false}, {70, doc, app, true},
                {80, doc, app, false}, {130, doc, app, false}, {140, doc, app, true}}},
        {"the clock set back beyond a minute makes the entry stale",
            {{0, doc, app, true}, {-60, doc, app, false}, {-61, doc, app, true}, {-1, doc, app, false}}},
        {"both nodes of one camera share a key",
            {{0, "/dev/video0", app, true}, {5, "/dev/video1", app, false},
                {6, "/dev/video1", "/usr/bin/other", true}}},
        {"trailing whitespace of the path does not matter",
            {{0, doc, app, true}, {1, doc + "\n", app, false}, {2, doc + "  ", app, false}}},
        {"keys are bytes: paths that differ above 0x7f, in case or in composition are distinct",
            {{0, "/home/ann/Documents/\x80", app, true}, {1, "/home/ann/Documents/\xff", app, true},
                {2, "/home/ann/Documents/a", app, true}, {3, "/home/ann/Documents/A", app, true},
                {4, "/home/ann/Documents/\xc3\xa9", app, true}, {5, "/home/ann/Documents/e\xcc\x81", app, true},
                {6, "/home/ann/Documents/\xff", app, false}, {7, "/home/ann/Documents/e\xcc\x81", app, false}}},
        {"a key that begins another is a key of its own",
            {{0, doc, app, true}, {1, doc + "x", app, true}, {2, doc, app + "x", true}, {3, doc, app, false}}},
        {"trailing whitespace of the program text does matter",
            {{0, doc, app, true}, {1, doc, app + "  ", true}, {2, doc, " " + app, true}}},
        {"an empty or blank program text is never notified", {{0, doc, "", false}, {1, doc, " \t\n", false}}},
        {"paths outside the private folders are never notified",
            {{0, "/home/ann/.ssh/id", app, false}, {1, "/etc/shadow", app, false}, {2, "", app, false}}},
    };
    rig::for_each_row(scenarios, run);
}

TEST_F(RateLimiter, HandsTheKindAndBothTextsAsReceivedToTheNotificationStep)
{
    notify_message("/dev/video3", " /usr/bin/camapp ");
    notify_message((doc + " ").c_str(), app.c_str());
    ASSERT_EQ(fakes::sent.size(), 2u);
    EXPECT_EQ(fakes::sent[0].kind, EventKind::camera);
    EXPECT_EQ(fakes::sent[0].program_text, " /usr/bin/camapp ");
    EXPECT_EQ(fakes::sent[0].object_path, "/dev/video3");
    EXPECT_EQ(fakes::sent[1].kind, EventKind::files_and_folders);
    EXPECT_EQ(fakes::sent[1].object_path, doc + " ");
    EXPECT_EQ(message_time_map.value.count("/dev/video2: /usr/bin/camapp "), 1u);
    EXPECT_EQ(message_time_map.value.count(doc + ":" + app), 1u);
}

TEST_F(RateLimiter, AnyAcceptedEventPurgesStaleEntriesOfOtherKeys)
{
    notify_message(doc.c_str(), app.c_str());
    fakes::now += 61;
    // A blank program text is dropped after the purge has run.
    notify_message("/dev/video0", " ");
    EXPECT_TRUE(message_time_map.value.empty());
    EXPECT_TRUE(time_index_agrees_with_map());
}

TEST_F(RateLimiter, FilteredOutEventsNeitherPurgeNorAdd)
{
    notify_message(doc.c_str(), app.c_str());
    fakes::now += 1000;
    notify_message("/home/ann/.ssh/id", app.c_str());
    EXPECT_EQ(message_time_map.value.size(), 1u);
}

TEST_F(RateLimiter, WhileSwitchedOffEventsLeaveTheMapAlone)
{
    notify_message(doc.c_str(), app.c_str());
    const auto before = message_time_map.value;
    set_notifications_enabled(0);
    fakes::now += 30;
    EXPECT_EQ(notify_message("/dev/video0", app.c_str()), 0);
    fakes::now += 100;
    EXPECT_EQ(notify_message("/dev/video0", app.c_str()), 0);
    EXPECT_EQ(message_time_map.value, before);
    EXPECT_EQ(fakes::sent.size(), 1u);

    // Switched on again, the first event is judged after its purge against
    // the entries made before the switch-off.
    set_notifications_enabled(1);
    EXPECT_EQ(notify_message(doc.c_str(), app.c_str()), fakes::send_result);
    EXPECT_EQ(message_time_map.value.size(), 1u);
    EXPECT_EQ(message_time_map.value.at(doc + ":" + app), fakes::now);
}

TEST_F(RateLimiter, PurgeKeepsBothBoundsOfTheWindow)
{
    const std::int64_t now = 5'000;
    for (const std::int64_t offset : {-1000, -61, -60, -1, 0, 1, 60, 61, 1000})
        ASSERT_EQ(admit_message("k" + std::to_string(offset), now + offset), Admission::first);
    update_message_time_map(now);
    std::vector<std::string> left;
    for (const auto& [key, time] : message_time_map.value)
        left.push_back(key);
    EXPECT_EQ(left, (std::vector<std::string>{"k-1", "k-60", "k0", "k1", "k60"}));
    EXPECT_TRUE(time_index_agrees_with_map());
}

TEST_F(RateLimiter, PurgeAtTheEndsOfTheTimeRangeDoesNotOverflow)
{
    constexpr auto lowest = std::numeric_limits<std::int64_t>::min();
    constexpr auto highest = std::numeric_limits<std::int64_t>::max();
    admit_message("low", lowest);
    admit_message("high", highest);
    update_message_time_map(lowest + 10);
    EXPECT_EQ(message_time_map.value.count("low"), 1u);
    EXPECT_EQ(message_time_map.value.count("high"), 0u);
    admit_message("high", highest);
    update_message_time_map(highest - 10);
    EXPECT_EQ(message_time_map.value.count("low"), 0u);
    EXPECT_EQ(message_time_map.value.count("high"), 1u);
    EXPECT_TRUE(time_index_agrees_with_map());
}

// A key of exactly `length` bytes: "/home/ann/Documents/<n>xxx...:/usr/bin/app".
std::string object_path_of(std::size_t n, std::size_t length)
{
    std::string path = "/home/ann/Documents/" + std::to_string(n);
    path.resize(length - std::strlen(":/usr/bin/app"), 'x');
    return path;
}

struct Limit {
    const char* name;
    std::size_t keys; // stored before the probe
    std::size_t key_length; // of each of them but the last
    std::size_t last_key_length;
    bool long_probe; // the probe is a key of 1 025 bytes, the longest there is, else one of 14
    bool clock_set_back; // the second half of the keys is stored a second before the first
    std::int64_t probe_at; // seconds after the first half of the keys; -1: the clock was set back
    std::size_t followers; // new keys as long as the others, each after the probe
    std::size_t evicted; // keys that give way to the probe and its followers
};

// The map holds at most 65 536 keys and at most 8 MiB of key text, each key
// stored at exactly its length. A new key that would go beyond either limit
// is let in all the same: the oldest keys give way in the order they came,
// whatever the clock did meanwhile, and every other key is still held back.
TEST_F(RateLimiter, ANewKeyBeyondTheKeyCapOrTheByteBudgetIsLetInAndTheOldestKeysGiveWay)
{
    const Limit limits[] = {
        {"one key short of the cap", 65'535, 40, 40, false, false, 1, 0, 0},
        {"at the cap", 65'536, 40, 40, false, false, 1, 0, 1},
        {"at the cap, after the clock was set back", 65'536, 40, 40, false, true, 1, 0, 1},
        {"at the cap, a flood after the clock was set back", 65'536, 40, 40, false, false, -1, 3, 4},
        {"the probe fills the budget exactly", 8'192, 1'024, 1'024 - 14, false, false, 1, 0, 0},
        {"the probe would pass the budget by a byte", 8'192, 1'024, 1'024 - 13, false, false, 1, 0, 1},
        {"a full budget and the longest probe", 8'192, 1'024, 1'024, true, false, 1, 0, 2},
        {"the longest probe, after the clock was set back", 8'192, 1'024, 1'024, true, true, 1, 0, 2},
        {"the longest probe and a flood, after the clock was set back", 8'192, 1'024, 1'024, true, false, -1, 2, 4},
    };
    const std::string long_path = "/home/bob/Documents/" + std::string(512 - 20, 'y');
    const std::string long_program = "/usr/bin/" + std::string(512 - 9, 'z');
    rig::for_each_row(limits, [&](const auto& limit) {
        fakes::install();
        const std::int64_t start = fakes::now + 1;
        const auto path = [&](std::size_t i) {
            return object_path_of(i, i + 1 < limit.keys ? limit.key_length : limit.last_key_length);
        };
        for (std::size_t i = 0; i < limit.keys; ++i) {
            fakes::now = limit.clock_set_back && i >= limit.keys / 2 ? start - 1 : start;
            ASSERT_EQ(notify_message(path(i).c_str(), "/usr/bin/app"), fakes::send_result);
        }
        for (const auto& [key, time] : message_time_map.value) {
            // Shorter keys live inside the string object itself.
            ASSERT_EQ(key.capacity(), std::max<std::size_t>(key.size(), 15)) << "a key is stored with room to spare";
        }

        fakes::now = start + limit.probe_at;
        const std::string probe_path = limit.long_probe ? long_path : "/dev/video0";
        const std::string probe_program = limit.long_probe ? long_program : "/x";
        EXPECT_EQ(notify_message(probe_path.c_str(), probe_program.c_str()), fakes::send_result);
        const auto follower = [&](std::size_t j) { return object_path_of(limit.keys + j, limit.key_length); };
        for (std::size_t j = 0; j < limit.followers; ++j)
            EXPECT_EQ(notify_message(follower(j).c_str(), "/usr/bin/app"), fakes::send_result) << "follower " << j;
        EXPECT_EQ(message_time_map.value.size(), limit.keys + 1 + limit.followers - limit.evicted);
        EXPECT_LE(message_time_index().key_bytes, message_time_map_key_budget);
        EXPECT_TRUE(time_index_agrees_with_map());
        for (std::size_t i = 0; i < limit.evicted + 1; ++i) {
            const bool gone = i < limit.evicted;
            EXPECT_EQ(message_time_map.value.count(path(i) + ":/usr/bin/app"), gone ? 0u : 1u) << "key " << i;
        }
        // Every key that stayed, the newest included, is still held back.
        EXPECT_EQ(notify_message(path(limit.keys - 1).c_str(), "/usr/bin/app"), 0);
        EXPECT_EQ(notify_message(probe_path.c_str(), probe_program.c_str()), 0);
        for (std::size_t j = 0; j < limit.followers; ++j)
            EXPECT_EQ(notify_message(follower(j).c_str(), "/usr/bin/app"), 0) << "follower " << j;
        EXPECT_EQ(fakes::sent.size(), limit.keys + 1 + limit.followers);

        // More than a minute after them all the old keys are gone and the
        // probe's own key is let in again.
        fakes::now = start + 62;
        EXPECT_EQ(notify_message(probe_path.c_str(), probe_program.c_str()), fakes::send_result);
        EXPECT_EQ(message_time_map.value.size(), 1u);
        EXPECT_TRUE(time_index_agrees_with_map());
    });
    // A key as long as the whole budget still gets in, everything else
    // giving way; one byte more never could.
    EXPECT_EQ(admit_message(std::string(message_time_map_key_budget + 1, 'k'), fakes::now), Admission::too_long);
    EXPECT_EQ(admit_message(std::string(message_time_map_key_budget, 'k'), fakes::now), Admission::first);
    EXPECT_EQ(message_time_map.value.size(), 1u);
    EXPECT_TRUE(time_index_agrees_with_map());
}

// Whatever allocation fails while a key is admitted, the map and its index
// are left as they were (or the key gets in all the same, where the failure
// only costs a spare byte of its own): into a second of its own, and into a
// second whose index has no room left for one more entry (63 of libstdc++'s
// blocks of 64 pointers, one kept free), so that the index must grow too.
TEST_F(RateLimiter, AnAllocationThatFailsWhileAKeyIsAdmittedLeavesMapAndIndexInStep)
{
    const std::int64_t t = fakes::now;
    for (const std::int64_t at : {t + 1, t}) {
        SCOPED_TRACE(at == t ? "a second that holds keys" : "a new second");
        int failures = 0;
        for (long n = 0;; ++n) {
            fakes::install();
            for (int i = 0; i < 63; ++i)
                ASSERT_EQ(admit_message("/dev/video0:/usr/bin/app" + std::to_string(i), t), Admission::first);
            const MessageTimeMap before = message_time_map.value;
            std::string key(100, 'k'); // longer than any string keeps inside itself
            key.reserve(200); // so that storing it at its length allocates too
            bool threw = false;
            allocations_before_failure = n;
            try {
                EXPECT_EQ(admit_message(std::move(key), at), Admission::first) << "allocation " << n;
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            const bool one_failed = allocations_before_failure.exchange(-1) < 0;
            if (threw) {
                ++failures;
                EXPECT_EQ(message_time_map.value, before) << "allocation " << n;
            } else {
                EXPECT_EQ(message_time_map.value.size(), before.size() + 1) << "allocation " << n;
            }
            EXPECT_TRUE(time_index_agrees_with_map()) << "allocation " << n;
            if (!one_failed)
                break; // every allocation the admission makes has failed once
        }
        EXPECT_GE(failures, 2); // the index's room and the map's node, at least
        if (at == t) {
            EXPECT_EQ(failures, 2); // and nothing else, where the second's bucket is there
        }
    }
}

TEST_F(RateLimiter, AgreesWithAWalkOfTheWholeMapOnRandomEventStreams)
{
    const std::vector<std::string> paths = {
        "/dev/video0",
        "/dev/video1",
        "/dev/video7",
        "/dev/video-1",
        "/dev/video 256",
        "/dev/videoX",
        " /home/a/Pictures/z",
        "/home/a/Documents/x",
        "/home/a/Documents/x\n",
        "/home/b/Music/y",
        "/home/b/Musicals",
        "/etc/passwd",
        "/home/a/.ssh/id",
    };
    const std::vector<std::string> programs = {"/usr/bin/a", "/usr/bin/a ", "/usr/bin/b", " ", ""};
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        fakes::install();
        std::mt19937 random(seed);
        model::Limiter limiter;
        for (int i = 0; i < 5000; ++i) {
            // Mostly forward in small steps; now and then the clock is set
            // back or jumps ahead.
            const auto step = std::uniform_int_distribution<int>(0, 99)(random);
            fakes::now += step < 90 ? step % 16 : step < 95 ? -std::int64_t{step} * 3 : std::int64_t{step};
            const auto& path = paths[random() % paths.size()];
            const auto& program = programs[random() % programs.size()];
            const std::size_t sent_before = fakes::sent.size();
            notify_message(path.c_str(), program.c_str());
            ASSERT_EQ(fakes::sent.size() - sent_before, limiter.event(path, program, fakes::now) ? 1u : 0u)
                << "event " << i << ": " << path << " / " << program << " at " << fakes::now;
            ASSERT_EQ(message_time_map.value, limiter.times) << "event " << i;
        }
        EXPECT_TRUE(time_index_agrees_with_map());
    }
}

} // namespace
