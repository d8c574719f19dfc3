// When registration starts the sleep monitor. Its own binary: the monitor is
// started once per process, so the steps below must run in a fresh one.
#include "notify_unit_fakes.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

namespace {

std::mutex started_mutex;
std::condition_variable started_changed;
int monitors_started = 0;

void* counting_monitor(void*)
{
    const std::lock_guard lock(started_mutex);
    ++monitors_started;
    started_changed.notify_all();
    return nullptr;
}

bool wait_for_monitors(int count, std::chrono::seconds deadline)
{
    std::unique_lock lock(started_mutex);
    return started_changed.wait_for(lock, deadline, [count] { return monitors_started >= count; });
}

int monitors_so_far()
{
    const std::lock_guard lock(started_mutex);
    return monitors_started;
}

TEST(MonitorStart, StartsOnceAndOnlyWhenTheFileOpened)
{
    fakes::install();
    monitor_thread_routine = counting_monitor;
    const auto dir = std::filesystem::temp_directory_path() / ("notify-unit-start-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string empty = (dir / "empty").string();
    std::ofstream{empty};

    EXPECT_EQ(run_registration((dir / "absent").c_str()), -1);
    EXPECT_EQ(run_registration(empty.c_str()), 0);
    ASSERT_TRUE(wait_for_monitors(1, std::chrono::seconds(30))) << "no monitor thread ran";
    EXPECT_EQ(run_registration(empty.c_str()), 0);
    // A second thread would have been created before the call returned;
    // give it a moment to run before judging that there is none.
    EXPECT_FALSE(wait_for_monitors(2, std::chrono::seconds(2)));
    EXPECT_EQ(monitors_so_far(), 1);

    std::filesystem::remove_all(dir);
    fakes::restore();
    monitor_thread_routine = fakes::idle_monitor;
}

} // namespace
