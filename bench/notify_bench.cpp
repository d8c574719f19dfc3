// Throughput of the notification plug-in's hot paths, each against a
// baseline measured in the same run (absolute times differ between machines;
// the ratios are what we watch):
//  - records through the reader and the filter vs. a plain buffered fread of
//    the same bytes (we want >= 0.8 of it);
//  - one accepted event with 10, 1 000 and 65 535 live keys (we want the
//    65 535-key cost within 3x of the 10-key cost), and one at the map's
//    bound, where each new key makes the oldest give way;
//  - the memory the rate-limit map holds at its cap, for short and long keys.
#include "clock.h"
#include "desktop_notification.h"
#include "notify.h"
#include "notify_steps.h"
#include "rate_limiter.h"
#include "record_reader.h"
#include "state_probes.h"

#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::size_t records_per_pass = 256; // 256 KiB: stays in cache, so neighbours on the machine disturb less

// Blocked accesses the filter throws away, as most records are.
std::string filtered_out_records()
{
    std::string data;
    for (std::size_t i = 0; i < records_per_pass; ++i) {
        NotifyRecord r{};
        const std::string path = "/usr/lib/x86_64-linux-gnu/libexample.so." + std::to_string(i);
        const std::string program = "/usr/bin/some-daemon --serve";
        std::memcpy(r.object_path, path.data(), path.size());
        std::memcpy(r.program_text, program.data(), program.size());
        data.append(reinterpret_cast<const char*>(&r), sizeof r);
    }
    return data;
}

const std::string& bench_data()
{
    static const std::string data = filtered_out_records();
    return data;
}

// Nanoseconds per item of each measured benchmark, for the ratios at the end.
std::map<std::string, double> ns_per_item;

template <typename Pass>
void measure(benchmark::State& state, const std::string& name, std::size_t items_per_iteration, Pass pass)
{
    const auto start = std::chrono::steady_clock::now();
    std::int64_t iterations = 0;
    for (auto _ : state) {
        pass();
        ++iterations;
    }
    const std::chrono::duration<double, std::nano> spent = std::chrono::steady_clock::now() - start;
    const double items = static_cast<double>(iterations) * static_cast<double>(items_per_iteration);
    state.SetItemsProcessed(static_cast<std::int64_t>(items));
    ns_per_item[name] = spent.count() / items;
}

std::FILE* open_data()
{
    const std::string& data = bench_data();
    return fmemopen(const_cast<char*>(data.data()), data.size(), "r");
}

void plain_fread_pass()
{
    std::FILE* stream = open_data();
    NotifyRecord record;
    std::size_t records = 0;
    while (std::fread(&record, sizeof record, 1, stream) == 1) {
        benchmark::DoNotOptimize(record);
        ++records;
    }
    std::fclose(stream);
    benchmark::DoNotOptimize(records);
}

void handle_record(void*, const char* object_path, const char* program_text)
{
    benchmark::DoNotOptimize(notify_message(object_path, program_text));
}

void reader_pass()
{
    std::FILE* stream = open_data();
    benchmark::DoNotOptimize(read_records(stream, handle_record, nullptr));
    std::fclose(stream);
}

// Both passes in turn within each iteration, in alternating order, so a
// neighbour's load on the machine and any warm-up weigh on the baseline and
// the reader alike.
void BM_ReaderVsPlainFread(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    Clock::duration fread_time{}, reader_time{};
    bool fread_first = true;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        fread_first ? plain_fread_pass() : reader_pass();
        const auto t1 = Clock::now();
        fread_first ? reader_pass() : plain_fread_pass();
        const auto t2 = Clock::now();
        (fread_first ? fread_time : reader_time) += t1 - t0;
        (fread_first ? reader_time : fread_time) += t2 - t1;
        fread_first = !fread_first;
    }
    const double records = static_cast<double>(state.iterations()) * records_per_pass;
    const auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    state.counters["fread_records_per_s"] = records / seconds(fread_time);
    state.counters["reader_records_per_s"] = records / seconds(reader_time);
    state.counters["reader_vs_fread"] = seconds(fread_time) / seconds(reader_time);
}

// The event's own entry alternates between 60 s before and 60 s after the
// live keys' time, so every event finds its previous entry stale, purges it
// and is accepted again, while the live keys stay fresh and their number
// stays put.
constexpr std::int64_t live_time = 1'700'000'000;
std::int64_t oscillating_now = live_time - 60;

std::int64_t oscillating_clock()
{
    oscillating_now = oscillating_now < live_time ? live_time + 60 : live_time - 60;
    return oscillating_now;
}

std::int64_t notifications_sent = 0;

int count_send(EventKind, const char*, const char*)
{
    ++notifications_sent;
    return 0;
}

void fill_map(std::size_t keys, std::int64_t time)
{
    clear_message_time_map();
    char key[96];
    for (std::size_t i = 0; i < keys; ++i) {
        std::snprintf(key, sizeof key, "/home/someuser/Documents/report-%06zu.odt:/usr/bin/editor", i);
        admit_message(key, time);
    }
}

void BM_AcceptedEvent(benchmark::State& state)
{
    const auto live_keys = static_cast<std::size_t>(state.range(0));
    fill_map(live_keys, live_time);
    notify_steps::notify_clock = oscillating_clock;
    notify_steps::send_notification_step = count_send;
    notifications_sent = 0;

    measure(state, "event/" + std::to_string(live_keys), 1, [] {
        benchmark::DoNotOptimize(notify_message("/home/someuser/Documents/report-031337.odt", "/usr/bin/viewer"));
    });

    if (notifications_sent != state.iterations() || message_time_map.value.size() != live_keys + 1)
        state.SkipWithError("events were not all accepted, or the number of live keys moved");
    state.counters["live_keys"] = static_cast<double>(live_keys);
    notify_steps::send_notification_step = send_blocked_notification;
    notify_steps::notify_clock = system_clock_seconds;
    clear_message_time_map();
}

std::int64_t live_clock()
{
    return live_time;
}

// The map full, and every event a key it has not held lately: each one
// makes the oldest key give way. The keys come from a ring twice the bound
// long, made beforehand, so no time goes into making them.
void BM_AcceptedEventAtTheBound(benchmark::State& state)
{
    static const std::vector<std::string> paths = [] {
        std::vector<std::string> out;
        char path[64];
        for (std::size_t i = 0; i < 2 * message_time_map_cap; ++i) {
            std::snprintf(path, sizeof path, "/home/someuser/Documents/report-%06zu.odt", i);
            out.emplace_back(path);
        }
        return out;
    }();
    clear_message_time_map();
    notify_steps::notify_clock = live_clock;
    notify_steps::send_notification_step = count_send;
    for (std::size_t i = 0; i < message_time_map_cap; ++i)
        notify_message(paths[i].c_str(), "/usr/bin/editor");
    notifications_sent = 0;
    std::size_t next = message_time_map_cap;

    measure(state, "event/bound", 1, [&next] {
        benchmark::DoNotOptimize(notify_message(paths[next].c_str(), "/usr/bin/editor"));
        next = next + 1 == paths.size() ? 0 : next + 1;
    });

    if (notifications_sent != state.iterations() || message_time_map.value.size() != message_time_map_cap)
        state.SkipWithError("events were not all accepted, or the map is not at its bound");
    notify_steps::send_notification_step = send_blocked_notification;
    notify_steps::notify_clock = system_clock_seconds;
    clear_message_time_map();
}

std::size_t resident_bytes()
{
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    unsigned long resident = 0;
    if (statm) {
        if (std::fscanf(statm, "%lu %lu", &pages, &resident) != 2)
            resident = 0;
        std::fclose(statm);
    }
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// The map filled with distinct keys of one length, built by appending as the
// plug-in builds them, until a new one makes an old one give way: at 65 536
// keys, or at 8 MiB of key text for keys longer than 128 bytes. Reports what
// the heap and the resident set grew by; the goal is at most 16 MiB whatever
// the length.
void BM_MapMemoryAtCap(benchmark::State& state)
{
    const auto key_length = static_cast<std::size_t>(state.range(0));
    double heap = 0;
    double resident = 0;
    std::size_t keys = 0;
    for (auto _ : state) {
        clear_message_time_map();
        malloc_trim(0);
        const auto heap_before = mallinfo2().uordblks;
        const auto resident_before = resident_bytes();
        for (keys = 0;; ++keys) {
            std::string key = "/home/someuser/Documents/" + std::to_string(keys);
            key.append(key_length - key.size() - std::strlen(":/usr/bin/editor"), 'x');
            key += ":/usr/bin/editor";
            const std::size_t before = message_time_map.value.size();
            admit_message(std::move(key), live_time);
            if (message_time_map.value.size() == before)
                break;
        }
        heap = static_cast<double>(mallinfo2().uordblks - heap_before);
        resident = static_cast<double>(resident_bytes() - resident_before);
    }
    constexpr double mib = 1024.0 * 1024.0;
    state.counters["keys"] = static_cast<double>(keys);
    state.counters["heap_mib"] = heap / mib;
    state.counters["resident_mib"] = resident / mib;
    state.counters["resident_vs_16mib"] = resident / (16 * mib);
    state.counters["bytes_per_key"] = heap / static_cast<double>(keys);
    clear_message_time_map();
}

double ratio(const std::string& numerator, const std::string& denominator)
{
    const auto n = ns_per_item.find(numerator);
    const auto d = ns_per_item.find(denominator);
    return n == ns_per_item.end() || d == ns_per_item.end() ? 0.0 : n->second / d->second;
}

// Reports the cost of an accepted event with many live keys relative to the
// cost with 10; it runs after them.
void BM_Ratios(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ns_per_item.size());
    state.counters["event_1000_vs_10"] = ratio("event/1000", "event/10");
    state.counters["event_65535_vs_10"] = ratio("event/65535", "event/10");
    state.counters["event_bound_vs_10"] = ratio("event/bound", "event/10");
}

BENCHMARK(BM_ReaderVsPlainFread);
BENCHMARK(BM_AcceptedEvent)->Arg(10)->Arg(1000)->Arg(message_time_map_cap - 1);
BENCHMARK(BM_AcceptedEventAtTheBound);
// Short keys; the longest that the key cap still limits; about the longest a
// record can give (512 + 1 + 512 bytes).
BENCHMARK(BM_MapMemoryAtCap)->Arg(57)->Arg(128)->Arg(1023)->Iterations(1);
BENCHMARK(BM_Ratios)->Iterations(1);

} // namespace

BENCHMARK_MAIN();
