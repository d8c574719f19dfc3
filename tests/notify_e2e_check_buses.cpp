// tolvane-notify-check's lines about the buses: the user bus, the
// notification server on it and what it serves, the system bus and logind
// on it, and the test notification. What is installed is in
// notify_e2e_check.cpp.
#include "notify_e2e_check_fixture.h"

namespace {

using namespace check_e2e;
using NotifyCheck = e2e::RigTest;

const std::string serves_notify = " owns org.freedesktop.Notifications and serves "
                                  "org.orbisk.ovx.Notification1.Notify (susssasa{sv}i)";
const std::string another_notify = "FAIL notification server: tolvane-test-notification-server (pid $SERVER) serves "
                                   "org.orbisk.ovx.Notification1 without Notify taking susssasa{sv}i; update the "
                                   "desktop's notification server";
const std::string another_desktops = ": it is another desktop's notification server, which cannot show tolvane's "
                                     "notifications; run the desktop's own notification server in its place";
const std::string unsilenced = "; notifications still appear, but are not silenced while the machine sleeps";

TEST_F(NotifyCheck, EachBusLineSaysWhatIsMissingAndTheStatusWhetherNotificationsCanAppear)
{
    ASSERT_OK(installation().status);
    const std::string test_summary
        = "sent \"tolvane-notify-check (test notification) wurde der Zugriff auf Dateien und Ordner verweigert\"";
    const CheckCase cases[] = {
        {"a test notification", {}, {"--send-test"}, {},
            {{6, "ok   test notification: " + test_summary + "; the server answered with notification id 1"}}, 0,
            {german_test_call()}},
        {"a test notification answered without an id", {.server = ServerMode::answer_without_id}, {"--send-test"}, {},
            {{6, "ok   test notification: " + test_summary + "; the server answered without an id"}}, 0,
            {german_test_call()}},
        {"a test notification the server refuses", {.server = ServerMode::fail}, {"--send-test"}, {},
            {{6,
                "FAIL test notification: Notify failed: System.Error.EPERM: the test notification "
                "server refuses this notification; see the notification server line"}},
            1, {german_test_call()}},
        {"no user bus", {.user_bus = UserBus::missing}, {"--send-test"}, {},
            {{2,
                 "FAIL user bus: cannot connect to $USER_BUS from DBUS_SESSION_BUS_ADDRESS: No such file or "
                 "directory; run this check in the desktop session of the user the host runs as"},
                {3, "FAIL notification server: cannot be asked without a user bus; see the user bus line"},
                {6,
                    "FAIL test notification: cannot connect to the user bus: No such file or directory; see the user "
                    "bus line"}},
            1, {}},
        {"nothing names a user bus", {}, {}, {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR"},
            {{2,
                 "FAIL user bus: neither DBUS_SESSION_BUS_ADDRESS nor XDG_RUNTIME_DIR is set; run this check in the "
                 "desktop session of the user the host runs as"},
                {3, "FAIL notification server: cannot be asked without a user bus; see the user bus line"}},
            1, {}},
        // sd-bus takes an empty address as it is, and refuses it.
        {"an empty DBUS_SESSION_BUS_ADDRESS", {}, {}, {"DBUS_SESSION_BUS_ADDRESS="},
            {{2,
                 "FAIL user bus: DBUS_SESSION_BUS_ADDRESS is empty, and the bus library then looks nowhere else; run "
                 "this check in the desktop session of the user the host runs as"},
                {3, "FAIL notification server: cannot be asked without a user bus; see the user bus line"}},
            1, {}},
        {"the user bus found through XDG_RUNTIME_DIR", {}, {},
            {"DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR=$RIG/user"},
            {{2, "ok   user bus: connected to unix:path=$RIG/user/bus from XDG_RUNTIME_DIR"}}, 0, {}},
        {"no notification server", {.server = ServerMode::none}, {}, {},
            {{3,
                "FAIL notification server: nothing owns org.freedesktop.Notifications on the user bus; start the "
                "desktop's notification server"}},
            1, {}},
        {"introspection refused with a message", {.server = ServerMode::introspect_error}, {}, {},
            {{3,
                "FAIL notification server: cannot introspect org.freedesktop.Notifications: the test notification "
                "server refuses introspection; restart the desktop's notification server"}},
            1, {}},
        {"introspection refused without a message", {.server = ServerMode::introspect_unexplained}, {}, {},
            {{3,
                "FAIL notification server: cannot introspect org.freedesktop.Notifications: "
                "org.orbisk.Test.Error.Refused; restart the desktop's notification server"}},
            1, {}},
        {"introspection answered without a description", {.server = ServerMode::introspect_empty}, {}, {},
            {{3,
                "FAIL notification server: org.freedesktop.Notifications answered introspection with no "
                "description; restart it"}},
            1, {}},
        {"a notification server without the interface", {.server = ServerMode::standard}, {}, {},
            {{3,
                "FAIL notification server: tolvane-test-notification-server (pid $SERVER) owns "
                "org.freedesktop.Notifications but does not serve org.orbisk.ovx.Notification1 (it offers "
                "org.freedesktop.Notifications)"
                    + another_desktops}},
            1, {}},
        {"a notification server with no interface of its own there", {.server = ServerMode::elsewhere}, {}, {},
            {{3,
                "FAIL notification server: tolvane-test-notification-server (pid $SERVER) owns "
                "org.freedesktop.Notifications but does not serve org.orbisk.ovx.Notification1 (it offers nothing "
                "else)"
                    + another_desktops}},
            1, {}},
        {"Notify with another signature", {.server = ServerMode::other_signature}, {}, {}, {{3, another_notify}}, 1,
            {}},
        {"the interface without Notify", {.server = ServerMode::without_notify}, {}, {}, {{3, another_notify}}, 1, {}},
        {"a server that lets go of its name as it answers", {.server = ServerMode::drop_name}, {}, {},
            {{3, "ok   notification server: a program" + serves_notify}}, 0, {}},
        {"a server whose executable is hidden", {.server = ServerMode::titled, .capabilities = false}, {}, {},
            {{3, "ok   notification server: notification-daemon (pid $SERVER)" + serves_notify}}, 0, {}},
        {"a server whose executable and command line are hidden",
            {.server = ServerMode::untitled, .capabilities = false}, {}, {},
            {{3, "ok   notification server: tolvane-test-no (pid $SERVER)" + serves_notify}}, 0, {}},
        {"no logind", {.logind = false}, {}, {},
            {{4,
                "WARN sleep monitor: nothing owns org.freedesktop.login1 on the system bus, so systemd-logind is not "
                "running"
                    + unsilenced}},
            0, {}},
        {"a system bus that refuses GetNameOwner", {.system_bus = SystemBus::without_name_owner}, {}, {},
            {{4,
                "WARN sleep monitor: cannot ask the system bus for org.freedesktop.login1: Permission denied"
                    + unsilenced}},
            0, {}},
        {"the system bus at its default path", {.system_bus = SystemBus::at_default_path}, {},
            {"DBUS_SYSTEM_BUS_ADDRESS"},
            {{4,
                "ok   sleep monitor: org.freedesktop.login1 is on the system bus at "
                "unix:path=/run/dbus/system_bus_socket from the system default; notifications pause while the "
                "machine sleeps"}},
            0, {}},
        {"no system bus at the default path", {}, {}, {"DBUS_SYSTEM_BUS_ADDRESS"},
            {{4,
                "WARN sleep monitor: cannot connect to the system bus at unix:path=/run/dbus/system_bus_socket from "
                "the system default: No such file or directory"
                    + unsilenced}},
            0, {}},
        {"no system bus", {}, {}, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=$RIG/no-bus"},
            {{4,
                "WARN sleep monitor: cannot connect to the system bus at unix:path=$RIG/no-bus from "
                "DBUS_SYSTEM_BUS_ADDRESS: No such file or directory"
                    + unsilenced}},
            0, {}},
    };
    e2e::for_each_row(cases, [&](const auto& c) { run_check(c); });
}

} // namespace
