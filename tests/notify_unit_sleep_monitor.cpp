#include "notify_unit_fakes.h"
#include "table_rows.h"

#include "bus_handles.h"
#include "logind_owner.h"
#include "sleep_monitor.h"

#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// A bus object over a socket pair, never connected to any daemon: enough to
// build and seal signal messages the way the monitor receives them.
class SleepSignal : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakes::install();
        notify_steps::monitor_clock = [] { return fake_monotonic; };
        reset_silence();
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        peer.reset(fds[1]);
        sd_bus* raw = nullptr;
        ASSERT_GE(sd_bus_new(&raw), 0);
        bus.reset(raw);
        ASSERT_GE(sd_bus_set_fd(bus.get(), fds[0], fds[0]), 0);
        ASSERT_GE(sd_bus_start(bus.get()), 0);
        forget_logind_owner();
        owner_changes({{"org.freedesktop.DBus", "org.freedesktop.login1", logind}});
    }
    void TearDown() override
    {
        bus.reset();
        forget_logind_owner();
        reset_silence();
        notify_steps::monitor_clock = monotonic_now;
        fakes::restore();
    }

    static inline std::chrono::nanoseconds fake_monotonic{0};
    static constexpr const char* logind = ":1.7"; // owns logind's name from the start

    // PrepareForSleep with one argument of the given D-Bus type, as the bus
    // hands it on from `sender` (none when null).
    template <typename Value>
    BusMessage signal(const char* type, Value value, const char* sender = logind)
    {
        sd_bus_message* raw = nullptr;
        EXPECT_GE(sd_bus_message_new_signal(
                      bus.get(), &raw, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep"),
            0);
        BusMessage message(raw);
        if (sender) {
            EXPECT_GE(sd_bus_message_set_sender(message.get(), sender), 0);
        }
        EXPECT_GE(sd_bus_message_append(message.get(), type, value), 0);
        EXPECT_GE(sd_bus_message_seal(message.get(), ++cookie, 0), 0);
        return message;
    }

    // NameOwnerChanged(name, "", new_owner), each from the sender given.
    struct OwnerChange {
        const char* sender;
        const char* name;
        const char* new_owner;
    };
    void owner_changes(const std::vector<OwnerChange>& changes)
    {
        for (const auto& change : changes) {
            sd_bus_message* raw = nullptr;
            ASSERT_GE(sd_bus_message_new_signal(
                          bus.get(), &raw, "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged"),
                0);
            const BusMessage message(raw);
            ASSERT_GE(sd_bus_message_set_sender(message.get(), change.sender), 0);
            ASSERT_GE(sd_bus_message_append(message.get(), "sss", change.name, "", change.new_owner), 0);
            ASSERT_GE(sd_bus_message_seal(message.get(), ++cookie, 0), 0);
            EXPECT_EQ(on_logind_owner_changed(message.get(), nullptr, nullptr), 0);
        }
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

// Only the connection that owns logind's name now may silence: not one that
// owns no name, nor a former owner, nor a client that claims to speak for
// the bus. A foreign sender is logged once, whatever it sends after.
struct SenderCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> changes; // (sender, new owner) of logind's name, after ":1.7"
    const char* sender;
    bool heard;
};

TEST_F(SleepSignal, OnlyTheCurrentOwnerOfLogindsNameIsHeard)
{
    constexpr const char* bus_driver = "org.freedesktop.DBus";
    const SenderCase cases[] = {
        {"logind", {}, logind, true},
        {"a connection that owns no name", {}, ":1.9", false},
        {"a message without a sender", {}, nullptr, false},
        {"the former owner, after a restart", {{bus_driver, ""}, {bus_driver, ":1.12"}}, logind, false},
        {"the new owner, after a restart", {{bus_driver, ""}, {bus_driver, ":1.12"}}, ":1.12", true},
        {"anyone once logind has gone", {{bus_driver, ""}}, logind, false},
        {"a client that says it is the bus", {{":1.9", ":1.9"}}, ":1.9", false},
        {"logind, after a client said it is the bus", {{":1.9", ":1.9"}}, logind, true},
    };
    rig::for_each_row(cases, [&](const auto& c) {
        fakes::install();
        reset_silence();
        forget_logind_owner();
        owner_changes({{bus_driver, "org.freedesktop.login1", logind}, {bus_driver, "org.example.Other", ":1.10"}});
        for (const auto& [sender, new_owner] : c.changes)
            owner_changes({{sender, "org.freedesktop.login1", new_owner}});

        EXPECT_EQ(handle(signal("b", 1, c.sender).get()), 0);
        EXPECT_EQ(notifications_enabled(), c.heard ? 0 : 1);
        ASSERT_EQ(fakes::logged.size(), 1u);
        EXPECT_EQ(fakes::logged[0].text,
            c.heard
                ? sleeping_line
                : "notify(88)-> Ignoring PrepareForSleep from senders other than the owner of org.freedesktop.login1");
        EXPECT_EQ(fakes::logged[0].priority, c.heard ? LOG_INFO : LOG_ERR);
        if (c.heard)
            return;
        // Nothing more from it reaches the log: not a second signal, not one
        // without a boolean.
        EXPECT_EQ(handle(signal("b", 0, c.sender).get()), 0);
        EXPECT_EQ(handle(signal("s", "yes", c.sender).get()), 0);
        EXPECT_EQ(fakes::logged.size(), 1u);
        EXPECT_EQ(settle_silence(), UINT64_MAX);
    });
}

// logind going away while the machine sleeps is no resume: the silence
// holds until the bound, and the next owner's resume ends it as logind's.
TEST_F(SleepSignal, LogindLeavingDuringASilenceIsNoResume)
{
    using namespace std::chrono_literals;
    fake_monotonic = 1000s;
    EXPECT_EQ(handle(signal("b", 1).get()), 0);
    owner_changes({{"org.freedesktop.DBus", "org.freedesktop.login1", ""}});
    fake_monotonic += 10s;
    EXPECT_EQ(settle_silence(), static_cast<std::uint64_t>(50s / 1us));
    EXPECT_EQ(notifications_enabled(), 0);
    owner_changes({{"org.freedesktop.DBus", "org.freedesktop.login1", ":1.12"}});
    EXPECT_EQ(handle(signal("b", 0, ":1.12").get()), 0);
    EXPECT_EQ(settle_silence(), static_cast<std::uint64_t>(2s / 1us));
    fake_monotonic += 2s;
    EXPECT_EQ(settle_silence(), UINT64_MAX);
    EXPECT_EQ(notifications_enabled(), 1);
}

// Signals at exact instants of the monitor's clock, and the instant at which
// notifications are on again: 2 s after the last false, or 60 s after the
// last true when no false follows it.
struct SilenceCase {
    const char* name;
    std::vector<std::pair<std::chrono::milliseconds, int>> signals; // (instant, PrepareForSleep argument)
    std::chrono::milliseconds shown_at; // on again from here; 0: never silenced
    int bound_lines; // how many times the 60 s bound was logged
};

TEST_F(SleepSignal, NotificationsComeBackExactlyTwoSecondsAfterTheLastFalseOrSixtySecondsAfterTheLastTrue)
{
    using namespace std::chrono_literals;
    const SilenceCase cases[] = {
        {"a sleep and a resume", {{0ms, 1}, {10s, 0}}, 12s, 0},
        {"elogind's doubled pair", {{0ms, 1}, {1ms, 1}, {10s, 0}, {10'500ms, 0}}, 12'500ms, 0},
        {"a sleep during the pause", {{0ms, 1}, {10s, 0}, {11s, 1}, {11'500ms, 0}}, 13'500ms, 0},
        {"a resume just before the bound", {{0ms, 1}, {59'900ms, 0}}, 61'900ms, 0},
        {"no resume", {{0ms, 1}}, 60s, 1},
        {"a second sleep restarts the bound", {{0ms, 1}, {30s, 1}}, 90s, 1},
        {"no resume after a paused one", {{0ms, 1}, {1s, 0}, {2'500ms, 1}}, 62'500ms, 1},
        {"a resume while shown", {{0ms, 0}}, 0ms, 0},
    };
    const auto start = std::chrono::nanoseconds(1'000'000'000'000);
    const auto at = [&](std::chrono::nanoseconds offset) { fake_monotonic = start + offset; };
    rig::for_each_row(cases, [&](const auto& c) {
        fakes::install();
        reset_silence();
        for (const auto& [instant, value] : c.signals) {
            at(instant);
            EXPECT_EQ(handle(signal("b", value).get()), 0);
            const std::uint64_t wait = settle_silence();
            EXPECT_EQ(notifications_enabled(), c.shown_at == 0ms ? 1 : 0);
            if (&value == &c.signals.back().second && c.shown_at > 0ms) {
                EXPECT_EQ(wait, static_cast<std::uint64_t>((c.shown_at - instant) / 1us));
            }
        }
        if (c.shown_at == 0ms) {
            EXPECT_EQ(settle_silence(), UINT64_MAX);
            EXPECT_EQ(notifications_enabled(), 1);
            return;
        }
        EXPECT_EQ(notifications_enabled(), 0);
        at(c.shown_at - 1ns);
        EXPECT_EQ(settle_silence(), 1u); // a microsecond, rounded up
        EXPECT_EQ(notifications_enabled(), 0);
        at(c.shown_at);
        EXPECT_EQ(settle_silence(), UINT64_MAX);
        EXPECT_EQ(notifications_enabled(), 1);
        at(c.shown_at + 1h);
        EXPECT_EQ(settle_silence(), UINT64_MAX);

        ASSERT_EQ(fakes::logged.size(), c.signals.size() + static_cast<std::size_t>(c.bound_lines));
        for (std::size_t i = 0; i < c.signals.size(); ++i)
            EXPECT_EQ(fakes::logged[i].text, c.signals[i].second ? sleeping_line : resumed_line);
        if (c.bound_lines == 1) {
            EXPECT_EQ(fakes::logged.back().priority, LOG_INFO);
            EXPECT_EQ(fakes::logged.back().text,
                "notify(140)-> No PrepareForSleep false within 60 s awake: notifications on again");
            EXPECT_EQ(fakes::logged.back().switch_when_logged, 0);
        }
    });
}

// A signal with no argument is refused like one with the wrong type, so the
// flag the handler reads into is never used unwritten.
TEST_F(SleepSignal, AnArgumentThatIsNoBooleanLeavesTheSwitchAlone)
{
    sd_bus_message* raw = nullptr;
    ASSERT_GE(sd_bus_message_new_signal(
                  bus.get(), &raw, "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "PrepareForSleep"),
        0);
    const BusMessage bare(raw);
    ASSERT_GE(sd_bus_message_set_sender(bare.get(), logind), 0);
    ASSERT_GE(sd_bus_message_seal(bare.get(), ++cookie, 0), 0);

    EXPECT_EQ(handle(signal("b", 1).get()), 0);
    EXPECT_EQ(handle(signal("s", "yes").get()), -1);
    EXPECT_EQ(handle(signal("u", 0u).get()), -1);
    EXPECT_EQ(handle(bare.get()), -1);
    EXPECT_EQ(notifications_enabled(), 0);
    ASSERT_EQ(fakes::logged.size(), 4u);
    for (std::size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(fakes::logged[i].priority, LOG_ERR);
        EXPECT_EQ(fakes::logged[i].text,
            std::string("notify(77)-> on_set_notify_onoff sd_bus_message_read failed: ") + std::strerror(ENXIO));
    }
}

TEST(SleepMonitorThread, WithoutASystemBusLogsLine100AndEndsWithNotificationsOn)
{
    fakes::install();
    const auto absent = std::filesystem::temp_directory_path() / "notify-unit-no-such-dir" / "system_bus";
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + absent.string()).c_str(), 1);
    set_notifications_enabled(0); // as if a sleep were under way: the ending thread ends it
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
TEST(SleepMonitorThread, ASubscriptionThatFailsIsLoggedAsLine114AndNotificationsAreOn)
{
    fakes::install();
    fakes::HangingUpBus bus;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address.c_str(), 1);
    set_notifications_enabled(0);
    std::thread monitor([] { sleep_monitor_thread(nullptr); });
    EXPECT_TRUE(bus.hang_up_on_next());
    monitor.join(); // the thread ends after a failed bus step

    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].priority, LOG_ERR);
    EXPECT_EQ(fakes::logged[0].text,
        std::string("notify(114)-> Failed to match signal PrepareForSleep: ") + std::strerror(ENOTCONN));
    EXPECT_EQ(notifications_enabled(), 1);
    fakes::restore();
}

} // namespace
