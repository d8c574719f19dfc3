// tolvane-notify-check against the rig: the plug-in and the German
// catalogue placed where this build installs them (inside the test's own
// mount namespace), the notification file, private buses with the test
// notification server and the logind stand-in. The program, the plug-in and
// the catalogue are the build tree's or the installed ones (TOLVANE_TEST_*). Each case takes one thing
// away and expects exactly the line that says so, the other lines as when
// everything is in place, and the exit status.
#include "notify_e2e/rig_test.h"

#include "artifacts.h"
#include "sandbox.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyCheck = RigTest;
namespace fs = std::filesystem;

const std::string catalogue_dir = std::string(TOLVANE_LOCALE_DIR) + "de/LC_MESSAGES";

// The directories the product installs to, made private and writable, and
// the locale the cases run in. The plug-in and the catalogue under test are
// copied aside first: they may be the installed files themselves, in the
// very directories the cases then empty and fill.
struct Installation {
    rig::Status status;
    std::string dir;
    std::string plugin; // the copy
    std::string catalogue; // the copy

    Installation()
    {
        if (status = rig::make_temp_dir("tolvane-e2e-check", dir); !status)
            return;
        plugin = dir + "/plugin.so";
        catalogue = dir + "/tolvane.mo";
        for (const auto& [from, to] : {std::pair{rig::artifact(rig::plugin_variable, TOLVANE_BUILT_PLUGIN), plugin},
                 std::pair{
                     rig::artifact(rig::catalogues_variable, TOLVANE_LOCALE_BUILD_DIR) + "/de/LC_MESSAGES/tolvane.mo",
                     catalogue}}) {
            std::error_code copy_error;
            if (!fs::copy_file(from, to, copy_error)) {
                status = rig::Status::failed("cannot copy " + from + ": " + copy_error.message());
                return;
            }
        }
        for (const auto& [target, scratch] :
            {std::pair{fs::path(TOLVANE_INSTALLED_PLUGIN).parent_path().string(), dir + "/plugin-overlay"},
                std::pair{catalogue_dir, dir + "/catalogue-overlay"}}) {
            if (::mkdir(scratch.c_str(), 0755) != 0) {
                status = rig::Status::failed_errno("mkdir " + scratch);
                return;
            }
            if (status = rig::make_private_directory(target, scratch); !status)
                return;
        }
        status = compile_locale("de_DE.UTF-8", dir);
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    ~Installation() { rig::remove_tree(dir); }
};

const Installation& installation()
{
    static const Installation installed;
    return installed;
}

enum class Plugin { installed, missing, not_a_library, another_library };
enum class NotifyFile { readable, missing, unreadable, directory, socket };

struct Setup {
    ServerMode server = ServerMode::answer;
    UserBus user_bus = UserBus::present;
    bool logind = true;
    Plugin plugin = Plugin::installed;
    NotifyFile notify_file = NotifyFile::readable;
    bool catalogue = true;
    bool capabilities = true; // root's, which read any file
};

rig::Status place(const Setup& setup)
{
    std::error_code error;
    const fs::path plugin = TOLVANE_INSTALLED_PLUGIN;
    fs::remove(plugin, error);
    if (setup.plugin == Plugin::installed)
        fs::copy_file(installation().plugin, plugin, error);
    if (setup.plugin == Plugin::another_library)
        fs::copy_file(ANOTHER_LIBRARY, plugin, error);
    if (setup.plugin == Plugin::not_a_library)
        std::ofstream(plugin) << "not a shared object\n";
    const fs::path catalogue = catalogue_dir + "/tolvane.mo";
    fs::remove(catalogue, error);
    if (setup.catalogue)
        fs::copy_file(installation().catalogue, catalogue, error);
    if (error)
        return rig::Status::failed("cannot place the installed files: " + error.message());
    if (setup.notify_file == NotifyFile::missing)
        return rig::Status::ok();
    // It opens, and every read of it fails with EISDIR.
    if (setup.notify_file == NotifyFile::directory)
        return ::mkdir(notify_file, 0755) == 0 ? rig::Status::ok() : rig::Status::failed_errno("mkdir");
    // It does not open at all.
    if (setup.notify_file == NotifyFile::socket) {
        const rig::unique_fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un where{};
        where.sun_family = AF_UNIX;
        std::strncpy(where.sun_path, notify_file, sizeof where.sun_path - 1);
        if (!listener || ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0)
            return rig::Status::failed_errno("bind");
        return rig::Status::ok();
    }
    // A FIFO without a writer: a check that opened it for reading would hang.
    if (auto s = make_notify_fifo(); !s)
        return s;
    if (setup.notify_file == NotifyFile::unreadable && ::chmod(notify_file, 0200) != 0)
        return rig::Status::failed_errno("chmod");
    return rig::Status::ok();
}

// Fills in what differs from run to run: $PLUGIN, $LOCALES, $USER_BUS,
// $SYSTEM_BUS, $RIG (the rig's directory) and $SERVER (the server's pid).
std::string substitute(std::string text, const std::map<std::string, std::string>& values)
{
    for (const auto& [name, value] : values)
        for (size_t at; (at = text.find(name)) != std::string::npos;)
            text.replace(at, name.size(), value);
    return text;
}

const std::vector<std::string> all_in_place = {
    "ok   plug-in: $PLUGIN loads, with KRMRegister and KRMUnregister",
    "ok   notification file: /sys/kernel/security/tolvane/.notify exists and root may read it",
    "ok   user bus: connected to $USER_BUS from DBUS_SESSION_BUS_ADDRESS",
    "ok   notification server: tolvane-test-notification-server (pid $SERVER) owns org.freedesktop.Notifications and "
    "serves org.orbisk.ovx.Notification1.Notify (susssasa{sv}i)",
    "ok   sleep monitor: org.freedesktop.login1 is on the system bus at $SYSTEM_BUS from DBUS_SYSTEM_BUS_ADDRESS; "
    "notifications pause while the machine sleeps",
    "ok   language: de_DE.UTF-8 (from LANG) takes its texts from the tolvane catalogue for de in $LOCALES: "
    "summaries end in \" wurde der Zugriff auf Dateien und Ordner verweigert\"",
};

rig::RecordedCall german_test_call()
{
    rig::RecordedCall call;
    call.app_name = "Systemeinstellungen";
    call.summary = "tolvane-notify-check (test notification) wurde der Zugriff auf Dateien und Ordner verweigert";
    call.body = "Öffnen Sie Kontrollzentrum > Datenschutz und Sicherheit und erlauben Sie den Zugriff.";
    call.actions = {"_open1", "Zu den Einstellungen"};
    call.hints = {{"x-orbisk-action-_open1", "s", std::string(command_prefix) + "privacy,filefolder"}};
    call.expire_timeout = -1;
    return call;
}

struct CheckCase {
    const char* name;
    Setup setup;
    std::vector<std::string> arguments;
    std::vector<std::string> environment; // on top of the rig's buses and the German locale
    std::map<size_t, std::string> lines; // what differs from all_in_place; past its end: added
    int exit_status;
    std::vector<rig::RecordedCall> calls;
};

TEST_F(NotifyCheck, EachLineSaysWhatIsMissingAndTheStatusWhetherNotificationsCanAppear)
{
    ASSERT_OK(installation().status);
    const std::string stays_english
        = "so notifications are in English (summaries end in \" has been blocked from accessing the files and "
          "folders\")";
    const CheckCase cases[] = {
        {"everything in place", {}, {}, {}, {}, 0, {}},
        {"a test notification", {}, {"--send-test"}, {},
            {{6,
                "ok   test notification: sent \"tolvane-notify-check (test notification) wurde der Zugriff auf Dateien "
                "und Ordner verweigert\"; the server answered with notification id 1"}},
            0, {german_test_call()}},
        {"a test notification the server refuses", {.server = ServerMode::fail}, {"--send-test"}, {},
            {{6,
                "FAIL test notification: Notify failed: System.Error.EPERM: the test notification "
                "server refuses this notification; see the notification server line"}},
            1, {german_test_call()}},
        {"no plug-in", {.plugin = Plugin::missing}, {}, {},
            {{0,
                "FAIL plug-in: $PLUGIN: No such file or directory; install the tolvane-notify package, which puts it "
                "where the host loads it"}},
            1, {}},
        {"a plug-in file that does not load", {.plugin = Plugin::not_a_library}, {}, {},
            {{0,
                "FAIL plug-in: $PLUGIN does not load: $PLUGIN: file too short; install the tolvane-notify package "
                "again"}},
            1, {}},
        {"a library that is not the plug-in", {.plugin = Plugin::another_library}, {}, {},
            {{0, "FAIL plug-in: $PLUGIN has no entry point KRMRegister; install the tolvane-notify package again"}}, 1,
            {}},
        {"no notification file", {.notify_file = NotifyFile::missing}, {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify does not exist; load the tolvane kernel "
                "module, with securityfs mounted on /sys/kernel/security"}},
            1, {}},
        {"a notification file the user may not read", {.notify_file = NotifyFile::unreadable, .capabilities = false},
            {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify is not readable by root: Permission "
                "denied; run this check as the user the host runs as, and let that user read the file"}},
            1, {}},
        {"a directory at the notification file's path", {.notify_file = NotifyFile::directory}, {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify is a directory, from which the plug-in "
                "cannot read records; check that the tolvane kernel module is loaded"}},
            1, {}},
        {"a socket at the notification file's path", {.notify_file = NotifyFile::socket}, {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify is a socket, from which the plug-in "
                "cannot read records; check that the tolvane kernel module is loaded"}},
            1, {}},
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
        {"a notification server without the interface", {.server = ServerMode::standard}, {}, {},
            {{3,
                "FAIL notification server: tolvane-test-notification-server (pid $SERVER) owns "
                "org.freedesktop.Notifications but does not serve org.orbisk.ovx.Notification1 (it offers "
                "org.freedesktop.Notifications): it is another desktop's notification server, which cannot show "
                "tolvane's notifications; run the desktop's own notification server in its place"}},
            1, {}},
        {"no logind", {.logind = false}, {}, {},
            {{4,
                "WARN sleep monitor: nothing owns org.freedesktop.login1 on the system bus, so systemd-logind is not "
                "running; notifications still appear, but are not silenced while the machine sleeps"}},
            0, {}},
        {"no system bus", {}, {}, {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=$RIG/no-bus"},
            {{4,
                "WARN sleep monitor: cannot connect to the system bus at unix:path=$RIG/no-bus from "
                "DBUS_SYSTEM_BUS_ADDRESS: No such file or directory; notifications still appear, but are not silenced "
                "while the machine sleeps"}},
            0, {}},
        {"no catalogue for the language", {.catalogue = false}, {}, {},
            {{5,
                "WARN language: no tolvane catalogue for de_DE.UTF-8 in $LOCALES, " + stays_english
                    + "; install the tolvane-notify package's catalogues, or add a translation for this language"}},
            0, {}},
        {"English, in a locale the system lacks", {}, {}, {"LANG=en_GB.UTF-8"},
            {{5,
                "ok   language: en_GB.UTF-8 (from LANG) is English, which needs no catalogue: summaries end in \" has "
                "been blocked from accessing the files and folders\""}},
            0, {}},
        {"a locale the system lacks", {}, {}, {"LANG=xx_XX.UTF-8"},
            {{5,
                "WARN language: the locale xx_XX.UTF-8 (from LANG) is not installed, " + stays_english
                    + "; install the locale or choose one that is"}},
            0, {}},
    };
    for_each_row(cases, [&](const auto& c) {
        // What a row before it left at the notification file's path.
        ::rmdir(notify_file);
        Rig rig;
        ASSERT_OK(start_rig(rig, c.setup.server, c.setup.user_bus));
        Logind logind;
        if (c.setup.logind) {
            ASSERT_OK(start_logind(rig, logind, rig::deadline_in(patience)));
        }
        ASSERT_OK(place(c.setup));
        const std::map<std::string, std::string> values = {{"$PLUGIN", TOLVANE_INSTALLED_PLUGIN},
            {"$LOCALES", TOLVANE_LOCALE_DIR}, {"$USER_BUS", rig.user_bus_address},
            {"$SYSTEM_BUS", rig.system_bus_address}, {"$RIG", rig.dir}, {"$SERVER", std::to_string(rig.server.pid)}};

        std::vector<std::string> argv = {rig::artifact(rig::notify_check_variable, TOLVANE_NOTIFY_CHECK)};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        rig::SpawnOptions options;
        options.without_capabilities = !c.setup.capabilities;
        options.environment
            = {"DBUS_SESSION_BUS_ADDRESS=" + rig.user_bus_address, "DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address,
                // Not looked at while DBUS_SESSION_BUS_ADDRESS is set.
                "XDG_RUNTIME_DIR=" + rig.dir + "/elsewhere", "LC_ALL", "LC_MESSAGES", "LANGUAGE", "LANG=de_DE.UTF-8",
                "LOCPATH=" + installation().dir};
        for (const auto& change : c.environment)
            options.environment.push_back(substitute(change, values));
        rig::ChildProcess check;
        ASSERT_OK(rig::spawn(argv, options, check));
        const auto deadline = rig::deadline_in(patience);
        std::istringstream printed(rig::read_rest(check, deadline));
        std::vector<std::string> output;
        for (std::string line; std::getline(printed, line);)
            output.push_back(line);

        std::vector<std::string> expected = all_in_place;
        for (const auto& [index, line] : c.lines) {
            expected.resize(std::max(expected.size(), index + 1));
            expected[index] = line;
        }
        for (auto& line : expected)
            line = substitute(line, values);
        EXPECT_EQ(output, expected);
        EXPECT_EQ(rig::wait_exit(check, deadline), std::optional<int>(c.exit_status));
        EXPECT_EQ(recorded_calls(rig), c.calls);
    });
}

} // namespace
