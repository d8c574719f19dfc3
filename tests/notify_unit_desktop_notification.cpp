#include "notify_unit_fakes.h"

#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

namespace {

const std::string fffd = "\xEF\xBF\xBD";

TEST(NotificationTexts, SummaryAndCommandFollowTheKindAndThePath)
{
    const std::string prefix
        = "qdbus,org.orbisk.ovx.ControlCenter1,/org/orbisk/ovx/ControlCenter1,org.orbisk.ovx.ControlCenter1.ShowPage,";
    struct Case {
        EventKind kind;
        const char* program_text;
        const char* object_path;
        std::string summary;
        std::string command;
    };
    const Case cases[] = {
        {EventKind::camera, "/usr/bin/camapp", "/dev/video1", "/usr/bin/camapp has been blocked from using the camera",
            prefix + "privacy,camera"},
        {EventKind::files_and_folders, "/usr/bin/app", "/home/a/Documents/x",
            "/usr/bin/app has been blocked from accessing the files and folders", prefix + "privacy,filefolder"},
        {EventKind::files_and_folders, "  spaced  ", "/home/a/Music",
            "  spaced   has been blocked from accessing the files and folders", prefix + "privacy,filefolder"},
        {EventKind::camera, "bad\xFF", "/dev/videoX", "bad" + fffd + " has been blocked from using the camera",
            prefix + "privacy,camera"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.program_text));
        const NotificationTexts texts = build_notification_texts(c.kind, c.program_text, c.object_path);
        EXPECT_EQ(texts.summary, c.summary);
        EXPECT_EQ(texts.action_command, c.command);
    }
}

// Points the user bus at a socket that does not exist, so the connection
// fails without any bus of the host being touched.
class WithoutUserBus : public ::testing::Test {
protected:
    void SetUp() override
    {
        fakes::install();
        notify_steps::send_notification_step = send_blocked_notification;
        unsetenv("XDG_RUNTIME_DIR");
        const auto absent = std::filesystem::temp_directory_path() / "notify-unit-no-such-dir" / "bus";
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + absent.string()).c_str(), 1);
    }
    void TearDown() override { fakes::restore(); }
};

TEST_F(WithoutUserBus, TheStepLogsLine254AndReturnsTheError)
{
    const int r = send_blocked_notification(EventKind::camera, "/usr/bin/camapp", "/dev/video0");
    EXPECT_LT(r, 0);
    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].priority, LOG_ERR);
    EXPECT_EQ(
        fakes::logged[0].text, std::string("notify(254)-> Failed to connect to user bus: ") + std::strerror(-r) + "\n");
}

TEST_F(WithoutUserBus, ARepeatWithinTheMinuteIsNeitherSentNorLogged)
{
    EXPECT_LT(notify_message("/home/a/Desktop/f", "/usr/bin/app"), 0);
    fakes::now += 60;
    EXPECT_EQ(notify_message("/home/a/Desktop/f", "/usr/bin/app"), 0);
    EXPECT_EQ(fakes::logged.size(), 1u);
}

TEST_F(WithoutUserBus, WhenTheServerHangsUpTheStepLogsLine283AndReturnsTheError)
{
    fakes::HangingUpBus bus;
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address.c_str(), 1);
    int r = 0;
    std::thread step(
        [&r] { r = send_blocked_notification(EventKind::files_and_folders, "/usr/bin/app", "/home/a/Music/x"); });
    EXPECT_TRUE(bus.hang_up_on_next());
    step.join();
    EXPECT_LT(r, 0);
    ASSERT_EQ(fakes::logged.size(), 1u);
    EXPECT_EQ(fakes::logged[0].priority, LOG_ERR);
    // The error that sd-bus makes for a call whose connection ended first.
    EXPECT_EQ(fakes::logged[0].text, "notify(283)-> Failed to Notify: Connection terminated\n");
}

} // namespace
