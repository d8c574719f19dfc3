#include "notify.h"

#include "clock.h"
#include "desktop_notification.h"
#include "event_filter.h"
#include "notify_onoff.h"
#include "plugin_log.h"
#include "rate_limiter.h"
#include "record_reader.h"
#include "sleep_monitor.h"
#include "translation.h"

#include <cxxabi.h>
#include <pthread.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace {

// One reader at a time: a second one would share message_time_map, which
// takes no lock. Registration is allowed again once the reader has ended.
std::atomic<bool> reader_running{false};

struct ReaderClaim {
    ReaderClaim(const ReaderClaim&) = delete;
    ReaderClaim& operator=(const ReaderClaim&) = delete;
    ReaderClaim() = default;
    ~ReaderClaim() { reader_running.store(false); }
};

// One monitor per process. A registration after the reader has ended finds
// it running, or ended for good after a failure it has logged.
std::atomic<bool> monitor_started{false};

struct FileCloser {
    void operator()(std::FILE* stream) const noexcept { (void)std::fclose(stream); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Blocks every signal on the calling thread for its lifetime, then gives the
// thread its own mask back. A thread starts with the mask of its creator.
struct AllSignalsBlocked {
    sigset_t callers_mask{};

    AllSignalsBlocked()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &callers_mask);
    }
    AllSignalsBlocked(const AllSignalsBlocked&) = delete;
    AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
    ~AllSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &callers_mask, nullptr); }
};

// A monitor that cannot start leaves notifications on, the safe side; the
// failure is logged and a later registration tries again. The host's
// signals are the host's: one handed to the monitor would interrupt its
// wait on the bus and end it, so the monitor starts with every signal blocked.
void start_sleep_monitor()
{
    if (monitor_started.exchange(true))
        return;
    pthread_t thread;
    const int r = [&thread] {
        const AllSignalsBlocked blocked;
        return pthread_create(&thread, nullptr, monitor_thread_routine(), nullptr);
    }();
    if (r != 0) {
        monitor_started.store(false);
        log_error(log_line::monitor_start_failed, ErrorText(r).text);
        return;
    }
    pthread_detach(thread);
}

void handle_record(void*, const char* object_path, const char* program_text)
{
    notify_message(object_path, program_text); // it deals with its own failures
}

} // namespace

int notify_message(const char* object_path, const char* program_text)
{
    if (!is_ovx_controlcenter_privacy_folder(object_path))
        return 0;
    if (notifications_enabled() == 0)
        return 0;

    const std::int64_t now = notify_clock();
    update_message_time_map(now); // also for the events dropped below

    const EventKind kind = event_kind(object_path);
    // Never empty: the filter lets through only paths that begin with
    // "/dev/video" or "/home/".
    std::string key = trim(event_key(object_path));
    // Trimmed only to test for emptiness: the key and the summary carry the
    // program text exactly as received.
    if (trim_view(program_text).empty())
        return 0;
    key += ':';
    key += program_text;

    // The time is stored before the attempt: a notification that fails
    // blocks its repeats for a minute just as one that arrives does.
    if (admit_message(std::move(key), now) != Admission::first)
        return 0;
    return send_notification_step(kind, program_text, object_path);
}

int run_registration(const char* path)
{
    bool expected = false;
    if (!reader_running.compare_exchange_strong(expected, true))
        return -1;
    const ReaderClaim claim; // released after the file is closed

    set_up_translation();
    // Close-on-exec: the programs the host starts have no business with it.
    File stream(std::fopen(path, "re"));
    if (!stream)
        return log_error(log_line::open_failed);
    start_sleep_monitor();
    read_records(stream.get(), handle_record, nullptr);
    return 0;
}

int register_reader(const char* path)
{
    try {
        return run_registration(path);
    } catch (abi::__forced_unwind&) {
        throw; // the host cancelled its thread
    } catch (...) {
        return -1; // nothing thrown may reach the host
    }
}

extern "C" int KRMRegister(void)
{
    return register_reader(notify_file_path);
}

extern "C" int KRMUnregister(void)
{
    return 0;
}
