// When registration starts the sleep monitor. Its own binary: the monitor is
// started once per process, so the steps below must run in a fresh one.
//
// A thread cannot be started while the process's default thread stack is
// larger than the address space: then any attempt to start the monitor fails
// for real and says so in line 311, which shows when registration tried.
#include "notify_unit_fakes.h"

#include <pthread.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex started_mutex;
std::condition_variable started_changed;
int monitors_started = 0;
int monitors_detached = 0;

// Registration never joins the monitor: unless it is detached, its stack
// would outlive it. Whether that happened within 30 s of its start.
bool becomes_detached()
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        int state = PTHREAD_CREATE_JOINABLE;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            pthread_attr_getdetachstate(&attributes, &state);
            pthread_attr_destroy(&attributes);
        }
        if (state == PTHREAD_CREATE_DETACHED || std::chrono::steady_clock::now() >= deadline)
            return state == PTHREAD_CREATE_DETACHED;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void* counting_monitor(void*)
{
    const bool detached = becomes_detached();
    const std::lock_guard lock(started_mutex);
    ++monitors_started;
    monitors_detached += detached ? 1 : 0;
    started_changed.notify_all();
    return nullptr;
}

bool wait_for_monitors(int count, std::chrono::seconds deadline)
{
    std::unique_lock lock(started_mutex);
    return started_changed.wait_for(lock, deadline, [count] { return monitors_started >= count; });
}

// Threads started while this lives get a stack no mapping can hold.
struct ThreadsCannotStart {
    pthread_attr_t saved{};
    ThreadsCannotStart()
    {
        pthread_getattr_default_np(&saved);
        pthread_attr_t huge;
        pthread_attr_init(&huge);
        pthread_attr_setstacksize(&huge, std::size_t{1} << 62);
        EXPECT_EQ(pthread_setattr_default_np(&huge), 0);
        pthread_attr_destroy(&huge);
    }
    ThreadsCannotStart(const ThreadsCannotStart&) = delete;
    ThreadsCannotStart& operator=(const ThreadsCannotStart&) = delete;
    ~ThreadsCannotStart()
    {
        pthread_setattr_default_np(&saved);
        pthread_attr_destroy(&saved);
    }
};

std::vector<std::string> logged_texts()
{
    std::vector<std::string> texts;
    for (const auto& line : fakes::logged) {
        EXPECT_EQ(line.priority, LOG_ERR) << line.text;
        texts.push_back(line.text);
    }
    fakes::logged.clear();
    return texts;
}

TEST(MonitorStart, StartsOnlyOnceTheFileIsOpenAndOncePerProcessAndAfterAFailureAgain)
{
    fakes::install();
    notify_steps::monitor_thread_routine = counting_monitor;
    const auto dir = std::filesystem::temp_directory_path() / ("notify-unit-start-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string empty = (dir / "empty").string();
    std::ofstream{empty};
    {
        const ThreadsCannotStart no_threads;
        EXPECT_EQ(run_registration((dir / "absent").c_str()), -1);
        EXPECT_EQ(
            logged_texts(), std::vector<std::string>{"notify(302)-> open /sys/kernel/security/tolvane/.notify failed!"})
            << "a start was tried before the file opened";
        // Registration has set the locale that the error text comes in.
        const std::string start_failed
            = std::string("notify(311)-> Failed to start sleep monitor thread: ") + std::strerror(EAGAIN);
        // The reader runs without a monitor.
        const std::string one = fakes::notify_record("/dev/video0", "/usr/bin/cam");
        std::ofstream(dir / "one", std::ios::binary) << one;
        EXPECT_EQ(run_registration((dir / "one").c_str()), 0);
        EXPECT_EQ(logged_texts(), std::vector<std::string>{start_failed});
        EXPECT_EQ(fakes::sent.size(), 1u);
    }

    // The next registration tries again, and this time the monitor runs.
    EXPECT_EQ(run_registration(empty.c_str()), 0);
    ASSERT_TRUE(wait_for_monitors(1, std::chrono::seconds(60))) << "no monitor thread ran";
    EXPECT_EQ(monitors_detached, 1);
    EXPECT_EQ(logged_texts(), std::vector<std::string>{});

    // With a monitor started, registration tries no second one.
    {
        const ThreadsCannotStart no_threads;
        EXPECT_EQ(run_registration(empty.c_str()), 0);
        EXPECT_EQ(logged_texts(), std::vector<std::string>{}) << "a second monitor was tried";
    }

    std::filesystem::remove_all(dir);
    fakes::restore();
    notify_steps::monitor_thread_routine = fakes::idle_monitor;
}

} // namespace
