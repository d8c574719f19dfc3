// The road of one event to the notification server: which records become a
// Notify call, with exactly which arguments, and which are held back.
#include "notify_e2e/rig_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyRoadOfOneEvent = RigTest;

rig::RecordedCall expected_call(const std::string& summary, const char* page)
{
    rig::RecordedCall call;
    call.app_name = "preferences-system";
    call.replaces_id = 0;
    call.app_icon = "";
    call.summary = summary;
    call.body = "Go to Control Center > Privacy and Security, and allow its access.";
    call.actions = {"_open1", "Go to Settings"};
    call.hints = {{"x-orbisk-action-_open1", "s", std::string(command_prefix) + page}};
    call.expire_timeout = -1;
    return call;
}

rig::RecordedCall files_call(const std::string& program)
{
    return expected_call(program + files_suffix, "privacy,filefolder");
}

rig::RecordedCall camera_call(const std::string& program)
{
    return expected_call(program + camera_suffix, "privacy,camera");
}

std::vector<rig::RecordedCall> run_records(const std::string& bytes)
{
    Rig rig;
    if (auto s = start_rig(rig); !s) {
        ADD_FAILURE() << s;
        return {};
    }
    if (auto s = write_notify_file(bytes); !s) {
        ADD_FAILURE() << s;
        return {};
    }
    const auto run = run_host(rig);
    EXPECT_OK(run.status);
    EXPECT_EQ(run.exit_status, 0) << "a sanitizer report ends the host with another status";
    EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned 0"});
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{}) << "nothing should fail";
    return recorded_calls(rig);
}

TEST_F(NotifyRoadOfOneEvent, ABlockedDocumentsFileGivesExactlyOneNotifyWithTheFixedArguments)
{
    const auto calls = run_records(record("/home/ann/Documents/report.odt", "/usr/bin/editor"));
    ASSERT_EQ(calls.size(), 1u);
    // Spelled out once in full, independent of the helpers above.
    EXPECT_EQ(calls[0].app_name, "preferences-system");
    EXPECT_EQ(calls[0].replaces_id, 0u);
    EXPECT_EQ(calls[0].app_icon, "");
    EXPECT_EQ(calls[0].summary, "/usr/bin/editor has been blocked from accessing the files and folders");
    EXPECT_EQ(calls[0].body, "Go to Control Center > Privacy and Security, and allow its access.");
    EXPECT_EQ(calls[0].actions, (std::vector<std::string>{"_open1", "Go to Settings"}));
    EXPECT_EQ(calls[0].hints,
        (std::vector<rig::NotifyHint>{{"x-orbisk-action-_open1", "s",
            "qdbus,org.orbisk.ovx.ControlCenter1,/org/orbisk/ovx/ControlCenter1,"
            "org.orbisk.ovx.ControlCenter1.ShowPage,privacy,filefolder"}}));
    EXPECT_EQ(calls[0].expire_timeout, -1);
}

struct EventCase {
    const char* name;
    std::string bytes;
    std::vector<rig::RecordedCall> expected;
};

std::vector<EventCase> event_cases()
{
    const std::string docs = "/home/ann/Documents/report.odt";
    return {
        {"a camera event names the camera page", record("/dev/video0", "/usr/bin/camapp"),
            {camera_call("/usr/bin/camapp")}},
        {"video0 then video1 from one program are one camera",
            record("/dev/video0", "/usr/bin/camapp") + record("/dev/video1", "/usr/bin/camapp"),
            {camera_call("/usr/bin/camapp")}},
        {"one camera from two programs notifies each",
            record("/dev/video0", "/usr/bin/camapp") + record("/dev/video1", "/usr/bin/other"),
            {camera_call("/usr/bin/camapp"), camera_call("/usr/bin/other")}},
        {"video2 is another camera than video1",
            record("/dev/video1", "/usr/bin/camapp") + record("/dev/video2", "/usr/bin/camapp"),
            {camera_call("/usr/bin/camapp"), camera_call("/usr/bin/camapp")}},
        {"a repeat within the minute is held back",
            record(docs, "/usr/bin/editor") + record(docs, "/usr/bin/editor") + record(docs, "/usr/bin/editor"),
            {files_call("/usr/bin/editor")}},
        {"a path with trailing whitespace is the same object",
            record(docs, "/usr/bin/editor") + record(docs + " \n", "/usr/bin/editor"), {files_call("/usr/bin/editor")}},
        {"a program text with trailing spaces is another program",
            record(docs, "/usr/bin/editor") + record(docs, "/usr/bin/editor  "),
            {files_call("/usr/bin/editor"), files_call("/usr/bin/editor  ")}},
        {"spaces around the program text are shown", record("/home/bo/Pictures/cat.png", "  /opt/my app  "),
            {files_call("  /opt/my app  ")}},
        {"a byte that is not UTF-8 is shown as U+FFFD", record("/home/bo/Music/a.ogg", "/opt/caf\xe9/player"),
            {files_call("/opt/caf\xef\xbf\xbd/player")}},
        {"a noncharacter, which the bus refuses, is shown as U+FFFD",
            record("/home/bo/Music/a.ogg", "/opt/\xef\xbf\xbe\xef\xb7\x90/\xf4\x8f\xbf\xbf"),
            {files_call("/opt/\xef\xbf\xbd\xef\xbf\xbd/\xef\xbf\xbd")}},
        {"paths outside the private folders are not notified",
            record("/etc/shadow", "/usr/bin/editor") + record("/home/ann/.ssh/id_rsa", "/usr/bin/editor")
                + record("/root/Documents/a", "/usr/bin/editor") + record("/home/ann/documents/a", "/usr/bin/editor")
                + record("/srv/home/ann/Documents/a", "/usr/bin/editor"),
            {}},
        {"an empty or blank program text is not notified",
            record(docs, "") + record(docs, " \t\n") + record(docs, "/usr/bin/editor"),
            {files_call("/usr/bin/editor")}},
    };
}

TEST_F(NotifyRoadOfOneEvent, EachEventIsNotifiedOncePerObjectProgramAndMinute)
{
    for (const auto& c : event_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_records(c.bytes), c.expected);
    }
}

} // namespace
