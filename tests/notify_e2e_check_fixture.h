// tolvane-notify-check against the rig: the plug-in and the catalogues
// placed where this build installs them (inside the test's own mount
// namespace), the notification file, private buses with the test
// notification server and the logind stand-in. The program, the plug-in and
// the catalogue are the build tree's or the installed ones (TOLVANE_TEST_*).
// Each case takes one thing away and expects exactly the line that says so,
// the other lines as when everything is in place, nothing on standard error
// unless it says so, and the exit status.
#pragma once

#include "notify_e2e/rig_test.h"

#include "artifacts.h"
#include "file_text.h"
#include "private_bus.h"
#include "sandbox.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace check_e2e {

using namespace e2e;
namespace fs = std::filesystem;

inline const std::string catalogue_dir = std::string(TOLVANE_LOCALE_DIR) + "de/LC_MESSAGES";

// A catalogue whose header names no language, as a hand-made one may.
inline constexpr char catalogue_without_language[] = R"(msgid ""
msgstr ""
"Content-Type: text/plain; charset=UTF-8\n"

msgid " has been blocked from accessing the files and folders"
msgstr " wurde gesperrt"
)";

// The directories the product installs to, made private and writable, and
// the locale the cases run in. The plug-in and the catalogue under test are
// copied aside first: they may be the installed files themselves, in the
// very directories the cases then empty and fill.
struct Installation {
    rig::Status status;
    std::string dir;
    std::string plugin; // the copy
    std::string catalogue; // the copy
    std::string catalogue_without_language;

    Installation()
    {
        if (status = rig::make_temp_dir("tolvane-e2e-check", dir); !status)
            return;
        plugin = dir + "/plugin.so";
        catalogue = dir + "/tolvane.mo";
        catalogue_without_language = dir + "/without-language.mo";
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
        // Lookups of users in files only, where root has no entry.
        std::ofstream(dir + "/passwd") << "daemon:x:1:1:daemon:/usr/sbin:/usr/sbin/nologin\n";
        std::ofstream(dir + "/nsswitch.conf") << "passwd: files\ngroup: files\n";
        if (status = compile_catalogue(); !status)
            return;
        status = compile_locale("de_DE.UTF-8", dir);
    }
    Installation(const Installation&) = delete;
    Installation& operator=(const Installation&) = delete;
    ~Installation() { rig::remove_tree(dir); }

private:
    rig::Status compile_catalogue() const
    {
        const std::string source = dir + "/without-language.po";
        std::ofstream(source) << check_e2e::catalogue_without_language;
        rig::ChildProcess msgfmt;
        if (auto s = rig::spawn({MSGFMT_PROGRAM, "-o", catalogue_without_language, source}, {}, msgfmt); !s)
            return s;
        const auto deadline = rig::deadline_in(patience);
        (void)rig::read_rest(msgfmt, deadline);
        if (rig::wait_exit(msgfmt, deadline) != std::optional<int>(0))
            return rig::Status::failed("msgfmt could not compile " + source);
        return rig::Status::ok();
    }
};

inline const Installation& installation()
{
    static const Installation installed;
    return installed;
}

enum class Plugin { installed, missing, not_a_library, another_library, register_only };
enum class NotifyFile { readable, missing, unreadable, directory, socket, symlink_loop };
enum class Catalogue { german, missing, without_language };
// rig: the rig's, named by DBUS_SYSTEM_BUS_ADDRESS; without_name_owner: a
// bus of its own, which refuses GetNameOwner; at_default_path: the rig's,
// at the path sd-bus takes when no variable names one.
enum class SystemBus { rig, without_name_owner, at_default_path };

struct Setup {
    ServerMode server = ServerMode::answer;
    UserBus user_bus = UserBus::present;
    SystemBus system_bus = SystemBus::rig;
    bool logind = true;
    Plugin plugin = Plugin::installed;
    NotifyFile notify_file = NotifyFile::readable;
    Catalogue catalogue = Catalogue::german;
    bool capabilities = true; // root's, which read any file and any process's executable
    bool passwd_entry = true; // for the user the check runs as
};

inline constexpr char default_system_bus[] = "/run/dbus/system_bus_socket";

inline rig::Status place(const Setup& setup)
{
    // Each step's error is its own: a later step that succeeds clears it.
    std::error_code error;
    const auto copy = [&](const fs::path& from, const fs::path& to) {
        if (!fs::copy_file(from, to, error))
            return rig::Status::failed(
                "cannot place " + to.string() + " from " + from.string() + ": " + error.message());
        return rig::Status::ok();
    };
    const fs::path plugin = TOLVANE_INSTALLED_PLUGIN;
    const fs::path catalogue = catalogue_dir + "/tolvane.mo";
    fs::remove(plugin, error);
    fs::remove(catalogue, error);
    rig::Status placed = rig::Status::ok();
    if (setup.plugin == Plugin::installed)
        placed = copy(installation().plugin, plugin);
    if (setup.plugin == Plugin::another_library)
        placed = copy(ANOTHER_LIBRARY, plugin);
#ifdef REGISTER_ONLY_LIBRARY
    if (setup.plugin == Plugin::register_only)
        placed = copy(REGISTER_ONLY_LIBRARY, plugin);
#endif
    if (setup.plugin == Plugin::not_a_library)
        std::ofstream(plugin) << "not a shared object\n";
    if (placed && setup.catalogue == Catalogue::german)
        placed = copy(installation().catalogue, catalogue);
    if (placed && setup.catalogue == Catalogue::without_language)
        placed = copy(installation().catalogue_without_language, catalogue);
    if (!placed)
        return placed;
    if (setup.notify_file == NotifyFile::missing)
        return rig::Status::ok();
    // It opens, and every read of it fails with EISDIR.
    if (setup.notify_file == NotifyFile::directory)
        return ::mkdir(notify_file, 0755) == 0 ? rig::Status::ok() : rig::Status::failed_errno("mkdir");
    // stat fails, but not with ENOENT.
    if (setup.notify_file == NotifyFile::symlink_loop)
        return ::symlink(notify_file, notify_file) == 0 ? rig::Status::ok() : rig::Status::failed_errno("symlink");
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

// The files bound over the system's for one row, unbound when it ends.
struct BoundFiles {
    std::vector<std::string> targets;
    BoundFiles() = default;
    BoundFiles(const BoundFiles&) = delete;
    BoundFiles& operator=(const BoundFiles&) = delete;
    ~BoundFiles()
    {
        for (const auto& target : targets)
            (void)rig::unmount(target);
    }
    rig::Status bind(const std::string& source, const std::string& target)
    {
        if (auto s = rig::bind_mount(source, target); !s)
            return s;
        targets.push_back(target);
        return rig::Status::ok();
    }
};

// Fills in what differs from run to run: $PLUGIN, $LOCALES, $USER_BUS,
// $SYSTEM_BUS, $RIG (the rig's directory) and $SERVER (the server's pid).
inline std::string substitute(std::string text, const std::map<std::string, std::string>& values)
{
    for (const auto& [name, value] : values)
        for (size_t at; (at = text.find(name)) != std::string::npos;)
            text.replace(at, name.size(), value);
    return text;
}

inline const std::vector<std::string> all_in_place = {
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

inline const std::string stays_english
    = "so notifications are in English (summaries end in \" has been blocked from accessing the files and "
      "folders\")";

// The language line for a locale (as the check names it) that is English.
inline std::string english(const std::string& named)
{
    return "ok   language: " + named
        + " is English, which needs no catalogue: summaries end in \" has been blocked from accessing the files "
          "and folders\"";
}

inline rig::RecordedCall german_test_call()
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
    std::optional<std::vector<std::string>> output = {}; // all that is printed, in place of the lines
    std::string stderr_text = {};
};

// Runs the check as the case sets it up and compares all it does.
inline void run_check(const CheckCase& c)
{
    // What a row before it left at the notification file's path.
    ::rmdir(notify_file);
    (void)::unlink(default_system_bus);
    Rig rig;
    ASSERT_OK(start_rig(rig, c.setup.server, c.setup.user_bus));
    Logind logind;
    if (c.setup.logind) {
        ASSERT_OK(start_logind(rig, logind, rig::deadline_in(patience)));
    }
    ASSERT_OK(place(c.setup));
    std::string system_bus = rig.system_bus_address;
    rig::PrivateBus locked_bus;
    if (c.setup.system_bus == SystemBus::without_name_owner) {
        ASSERT_OK(make_directory(rig.dir + "/locked", 0711));
        ASSERT_OK(rig::start_private_bus(
            rig.dir + "/locked", rig::deadline_in(patience), locked_bus, rig::BusPolicy::system_without_name_owner));
        system_bus = locked_bus.address;
    }
    if (c.setup.system_bus == SystemBus::at_default_path) {
        ASSERT_TRUE(::mkdir("/run/dbus", 0755) == 0 || errno == EEXIST) << std::strerror(errno);
        ASSERT_EQ(::symlink((rig.dir + "/system/bus").c_str(), default_system_bus), 0) << std::strerror(errno);
    }
    BoundFiles bound;
    if (!c.setup.passwd_entry) {
        ASSERT_OK(bound.bind(installation().dir + "/passwd", "/etc/passwd"));
        ASSERT_OK(bound.bind(installation().dir + "/nsswitch.conf", "/etc/nsswitch.conf"));
    }
    const std::map<std::string, std::string> values
        = {{"$PLUGIN", TOLVANE_INSTALLED_PLUGIN}, {"$LOCALES", TOLVANE_LOCALE_DIR}, {"$USER_BUS", rig.user_bus_address},
            {"$SYSTEM_BUS", system_bus}, {"$RIG", rig.dir}, {"$SERVER", std::to_string(rig.server.pid)}};

    std::vector<std::string> argv = {rig::artifact(rig::notify_check_variable, TOLVANE_NOTIFY_CHECK)};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    rig::SpawnOptions options;
    options.without_capabilities = !c.setup.capabilities;
    options.stderr_path = rig.dir + "/check-stderr";
    options.environment = {"DBUS_SESSION_BUS_ADDRESS=" + rig.user_bus_address, "DBUS_SYSTEM_BUS_ADDRESS=" + system_bus,
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

    std::vector<std::string> expected = c.output.value_or(all_in_place);
    for (const auto& [index, line] : c.lines) {
        expected.resize(std::max(expected.size(), index + 1));
        expected[index] = line;
    }
    for (auto& line : expected)
        line = substitute(line, values);
    EXPECT_EQ(output, expected);
    EXPECT_EQ(rig::wait_exit(check, deadline), std::optional<int>(c.exit_status));
    EXPECT_EQ(rig::file_text(options.stderr_path), c.stderr_text);
    EXPECT_EQ(recorded_calls(rig), c.calls);
    (void)::unlink(default_system_bus);
}

} // namespace check_e2e
