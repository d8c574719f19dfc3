#include "notify_unit_fakes.h"

#include "bus_handles.h"
#include "sleep_monitor.h"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

// A bus object over a socket pair, never connected to any daemon: enough to
// build and seal signal messages the way the monitor receives them.
class SleepSignal : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakes::install();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        peer.fd = fds[1];
        sd_bus* raw = nullptr;
        ASSERT_GE(sd_bus_new(&raw), 0);
        bus.reset(raw);
        ASSERT_GE(sd_bus_set_fd(bus.get(), fds[0], fds[0]), 0);
        ASSERT_GE(sd_bus_start(bus.get()), 0);
    }
    void TearDown() override
    {
        bus.reset();
        fakes::restore();
    }

    // PrepareForSleep with one argument of the given D-Bus type.
    template <typename Value>
    BusMessage signal(const char* type, Value value)
    {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(
                      bus.get(), &raw, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep"),
            0);
        BusMessage message(raw);
        EXPECT_GE(sd_bus_message_append(message.get(), type, value), 0);
        EXPECT_GE(sd_bus_message_seal(message.get(), ++cookie, 0), 0);
        return message;
    }

    int handle(sd_bus_message* message)
    {
        sd_bus_error untouched{}; // SD_BUS_ERROR_NULL
        const int r = on_set_notify_onoff(message, &cookie, &untouched);
        EXPECT_FALSE(sd_bus_error_is_set(&untouched));
        return r;
    }

    BusConnection bus;
    fakes::Fd peer;
    std::uint64_t cookie = 0;
};

const std::string sleeping_line = "notify(81)-> on_set_notify_onoff: PrepareForSleep true";
const std::string resumed_line = "notify(81)-> on_set_notify_onoff: PrepareForSleep false";

TEST_F(SleepSignal, SleepSilencesAtOnceAndALineGoesOutFirst)
{
    EXPECT_EQ(handle(signal("b", 1).get()), 0);
    EXPECT_EQ(notifications_enabled(), 0);
    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].priority, LOG_INFO);
    EXPECT_EQ(fakes::logged[0].text, sleeping_line);
    EXPECT_EQ(fakes::logged[0].switch_when_logged, 1);

    // Again while silenced: logged again, still silenced.
    EXPECT_EQ(handle(signal("b", 1).get()), 0);
    EXPECT_EQ(notifications_enabled(), 0);
    EXPECT_EQ(fakes::logged.size(), 2u);

    // Events accepted meanwhile are dropped without touching the map.
    EXPECT_EQ(notify_message("/dev/video0", "/usr/bin/cam"), 0);
    EXPECT_TRUE(fakes::sent.empty());
    EXPECT_TRUE(message_time_map.value.empty());
}

TEST_F(SleepSignal, ResumeShowsNotificationsAgainNotBeforeTwoSecondsAfterItsLine)
{
    using Clock = std::chrono::steady_clock;
    EXPECT_EQ(handle(signal("b", 1).get()), 0);
    // Notes when the switch is first seen on again; one set before the
    // pause would be seen at once.
    Clock::time_point seen_on;
    std::thread watcher([&seen_on] {
        while (notifications_enabled() == 0)
            std::this_thread::yield();
        seen_on = Clock::now();
    });
    EXPECT_EQ(handle(signal("b", 0).get()), 0);
    watcher.join();

    EXPECT_EQ(notifications_enabled(), 1);
    ASSERT_EQ(fakes::logged.size(), 2u);
    EXPECT_EQ(fakes::logged[1].priority, LOG_INFO);
    EXPECT_EQ(fakes::logged[1].text, resumed_line);
    EXPECT_EQ(fakes::logged[1].switch_when_logged, 0);
    EXPECT_GE(seen_on - fakes::logged[1].when, std::chrono::seconds(2));
}

TEST_F(SleepSignal, AnArgumentThatIsNoBooleanLeavesTheSwitchAlone)
{
    EXPECT_EQ(handle(signal("b", 1).get()), 0);
    EXPECT_EQ(handle(signal("s", "yes").get()), -1);
    EXPECT_EQ(handle(signal("u", 0u).get()), -1);
    EXPECT_EQ(notifications_enabled(), 0);
    ASSERT_EQ(fakes::logged.size(), 3u);
    for (std::size_t i = 1; i < 3; ++i) {
        EXPECT_EQ(fakes::logged[i].priority, LOG_ERR);
        EXPECT_EQ(fakes::logged[i].text,
            std::string("notify(77)-> on_set_notify_onoff sd_bus_message_read failed: ") + std::strerror(ENXIO));
    }
}

TEST(SleepMonitorThread, WithoutASystemBusLogsLine100AndEnds)
{
    fakes::install();
    const auto absent = std::filesystem::temp_directory_path() / "notify-unit-no-such-dir" / "system_bus";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + absent.string()).c_str(), 1);
    errno = 0;
    EXPECT_EQ(sleep_monitor_thread(nullptr), nullptr);
    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].priority, LOG_ERR);
    EXPECT_EQ(
        fakes::logged[0].text, std::string("notify(100)-> Failed to connect to system bus: ") + std::strerror(ENOENT));
    EXPECT_EQ(notifications_enabled(), 1);
    fakes::restore();
}

// A "system bus" that takes the connection and hangs up before answering:
// the monitor is connected, but its subscription cannot be made.
TEST(SleepMonitorThread, ASubscriptionThatFailsIsLoggedAsLine114)
{
    fakes::install();
    fakes::HangingUpBus bus;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    std::thread monitor([] { sleep_monitor_thread(nullptr); });
    EXPECT_TRUE(bus.hang_up_on_next());
    monitor.join(); // the thread ends after a failed bus step

    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].priority, LOG_ERR);
    EXPECT_EQ(fakes::logged[0].text.rfind("notify(114)-> Failed to match signal PrepareForSleep: ", 0), 0u)
        << fakes::logged[0].text;
    EXPECT_EQ(notifications_enabled(), 1);
    fakes::restore();
}

} // namespace
