// A flood of records through a FIFO, written in pieces that never line up
// with the records: every record must be handed on, each new key notified
// once, and the records that are filtered out must not cost memory. A flood
// of one program's distinct events, beyond what the rate limiter keeps,
// hides nothing of another program's.
#include "notify_e2e/rig_test.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace e2e;
using NotifyFlood = RigTest;

constexpr size_t record_count = 200'000;
// The first records mix about 300 new keys and their repeats into records
// the filter drops; the rest are dropped by the filter only, so that the
// host's memory can be watched while nothing but filtering happens.
constexpr size_t mixed_count = 50'000;
constexpr size_t new_key_every = 167;
constexpr std::array<size_t, 5> piece_sizes = {1, 7, 1000, 1023, 4097};

const std::string docs = "/home/ann/Documents/flood.txt";

std::string program_of_key(size_t key)
{
    return "/usr/bin/app" + std::to_string(key);
}

std::string filtered_record(size_t i)
{
    switch (i % 3) {
    case 0:
        return record("/etc/passwd", "/usr/bin/app0");
    case 1:
        return record("/home/ann/.cache/thumbnails/" + std::to_string(i), "/usr/bin/app0");
    default:
        return record("/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/sbin/daemon" + std::to_string(i));
    }
}

// The last record of each part is a new key: its notification proves that
// every record before it has been handed on.
std::optional<std::string> new_program(size_t i)
{
    if (i == mixed_count - 1)
        return "/usr/bin/mixed-end";
    if (i == record_count - 1)
        return "/usr/bin/last";
    if (i < mixed_count && i % new_key_every == 0)
        return program_of_key(i / new_key_every);
    return std::nullopt;
}

std::string flood_record(size_t i)
{
    if (auto program = new_program(i))
        return record(docs, *program);
    if (i < mixed_count && i % new_key_every == new_key_every / 2)
        return record(docs, program_of_key(i / new_key_every)); // a repeat
    return filtered_record(i);
}

std::vector<std::string> expected_summaries(size_t up_to)
{
    std::vector<std::string> out;
    for (size_t i = 0; i < up_to; ++i)
        if (auto program = new_program(i))
            out.push_back(*program + files_suffix);
    return out;
}

std::optional<long> status_kib(pid_t pid, const std::string& field)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(f, line);)
        if (line.starts_with(field + ":"))
            return std::stol(line.substr(field.size() + 1));
    return std::nullopt;
}

// Writes records [from, to) in pieces of the cycling sizes.
struct Feeder {
    int fd;
    size_t next_record = 0;
    size_t next_piece = 0;
    std::string pending;

    rig::Status feed_until(size_t to, rig::Deadline deadline)
    {
        while (next_record < to || !pending.empty()) {
            while (pending.size() < 8192 && next_record < to)
                pending += flood_record(next_record++);
            const size_t n = std::min(piece_sizes[next_piece++ % piece_sizes.size()], pending.size());
            if (auto s = rig::write_all(fd, pending.data(), n, deadline); !s)
                return s;
            pending.erase(0, n);
        }
        return rig::Status::ok();
    }
};

TEST_F(NotifyFlood, EveryRecordOfAFloodInOddPiecesIsHandedOnAndFilteredRecordsCostNoMemory)
{
    Rig rig;
    ASSERT_OK(start_rig(rig));
    ASSERT_OK(make_notify_fifo());
    rig::ChildProcess host;
    ASSERT_OK(start_host(rig, {}, false, host));
    const pid_t host_pid = host.pid;
    const auto deadline = rig::deadline_in(patience * 5);
    rig::unique_fd fifo;
    ASSERT_OK(open_fifo_writer(deadline, fifo));

    Feeder feeder{fifo.get(), 0, 0, {}};
    ASSERT_OK(feeder.feed_until(mixed_count, deadline));
    const size_t mixed_calls = expected_summaries(mixed_count).size();
    ASSERT_EQ(wait_for_calls(rig, mixed_calls, deadline).size(), mixed_calls);
    const auto rss_start = status_kib(host_pid, "VmRSS");
    ASSERT_TRUE(rss_start);

    ASSERT_OK(feeder.feed_until(record_count, deadline));
    const auto expected = expected_summaries(record_count);
    const auto calls = wait_for_calls(rig, expected.size(), deadline);
    const auto rss_end = status_kib(host_pid, "VmRSS");
    const auto hwm_end = status_kib(host_pid, "VmHWM");
    ASSERT_TRUE(rss_end && hwm_end);

    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));

    EXPECT_EQ(summaries(calls), expected);
    EXPECT_EQ(recorded_calls(rig).size(), expected.size()) << "no call after the last record";
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    // 150 000 filtered records went by between the samples; a leak of one
    // of malloc's smallest blocks (32 bytes) a record would show as 4.6 MiB,
    // and of 15 bytes a record as 2.1 MiB.
    constexpr long bound_kib = 2 * 1024;
    EXPECT_LT(*rss_end - *rss_start, bound_kib) << "VmRSS " << *rss_start << " kB -> " << *rss_end << " kB";
    EXPECT_LT(*hwm_end - *rss_start, bound_kib) << "VmHWM " << *hwm_end << " kB";
    RecordProperty("vmrss_start_kib", std::to_string(*rss_start));
    RecordProperty("vmrss_end_kib", std::to_string(*rss_end));
    RecordProperty("vmhwm_end_kib", std::to_string(*hwm_end));
    std::printf(
        "host VmRSS %ld kB -> %ld kB, VmHWM %ld kB, %zu notifications\n", *rss_start, *rss_end, *hwm_end, calls.size());
}

// One program touches ever new files in ~/Documents, more than the rate
// limiter keeps: by count with short keys, by bytes with keys of 1 023
// bytes; or exactly as many bytes of keys as it keeps, from a plug-in just
// loaded. Without a user bus yet, each attempt is logged, so the test knows
// when the reader has had it. Then the bus comes up, and another program's
// camera access must get through, while a repeat of a flood key that is
// still held stays held back.
struct DistinctFlood {
    const char* name;
    size_t events;
    size_t path_length; // 0: as short as the number allows
    size_t program_length;
    bool repeat_oldest; // the repeat is of the first key, else of the newest
};

TEST_F(NotifyFlood, AFloodOfOneProgramsDistinctEventsHidesNoOtherProgramsEvent)
{
    const DistinctFlood floods[] = {
        {"70 000 short keys, beyond the count", 70'000, 0, 16, false},
        {"9 000 keys of 1 023 bytes, beyond the bytes", 9'000, 511, 511, false},
        {"8 192 keys of 1 024 bytes, all the bytes it keeps", 8'192, 511, 512, true},
    };
    for_each_row(floods, [&](const auto& flood) {
        Rig rig;
        ASSERT_OK(start_rig(rig, ServerMode::answer, UserBus::missing));
        ASSERT_OK(make_notify_fifo());
        rig::ChildProcess host;
        ASSERT_OK(start_host(rig, {}, false, host));
        const auto deadline = rig::deadline_in(patience * 5);
        rig::unique_fd fifo;
        ASSERT_OK(open_fifo_writer(deadline, fifo));
        const std::string program = "/usr/bin/flooder" + std::string(flood.program_length - 16, 'p');
        const auto path = [&](size_t i) {
            std::string p = "/home/mallory/Documents/" + std::to_string(i);
            if (p.size() < flood.path_length)
                p.resize(flood.path_length, 'x');
            return p;
        };

        // The log socket holds few lines, and the plug-in waits for room:
        // the records are written on a thread of their own while the lines
        // are read here.
        bool written = false;
        const auto first_fed = rig::Clock::now();
        std::thread writer([&] {
            for (size_t i = 0; i < flood.events; ++i)
                if (!feed(fifo.get(), path(i), program, deadline))
                    return;
            written = true;
        });
        const size_t lines = wait_for_log(rig, flood.events, deadline).size();
        writer.join();
        ASSERT_TRUE(written);
        ASSERT_EQ(lines, flood.events);

        ASSERT_OK(start_user_bus(rig));
        // The first key is a minute old at most, or it would be gone by now
        // whatever the bound.
        if (flood.repeat_oldest && rig::Clock::now() - first_fed >= 59s)
            GTEST_SKIP() << "the flood took a minute: its first key has gone stale";
        ASSERT_OK(feed(fifo.get(), path(flood.repeat_oldest ? 0 : flood.events - 1), program, deadline));
        ASSERT_OK(feed(fifo.get(), "/dev/video0", "/usr/bin/camapp", deadline));
        EXPECT_EQ(summaries(wait_for_calls(rig, 1, deadline)),
            std::vector<std::string>{std::string("/usr/bin/camapp") + camera_suffix});

        fifo.reset();
        EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
        EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
        EXPECT_EQ(recorded_calls(rig).size(), 1u);
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

} // namespace
