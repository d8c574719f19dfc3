#include "notify_e2e/rig.h"

#include "log_socket.h"
#include "notify_e2e/host.h"
#include "notify_e2e/records.h"
#include "sandbox.h"

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>

namespace e2e {
namespace {

std::vector<std::string> server_options(ServerMode mode)
{
    switch (mode) {
    case ServerMode::answer:
    case ServerMode::none:
        return {"--mode", "answer"};
    case ServerMode::fail:
        return {"--mode", "fail"};
    case ServerMode::vanish:
        return {"--mode", "vanish"};
    case ServerMode::slow:
        return {"--mode", "answer", "--delay", "1500"};
    case ServerMode::silent:
        return {"--mode", "silent"};
    case ServerMode::standard:
        return {"--mode", "answer", "--interface", "org.freedesktop.Notifications"};
    case ServerMode::answer_without_id:
        return {"--mode", "bare"};
    case ServerMode::other_signature:
        return {"--signature", "susssasa{sv}"};
    case ServerMode::without_notify:
        return {"--method", "CloseNotification", "--signature", "u"};
    case ServerMode::elsewhere:
        return {"--path", "/org/freedesktop/Notifications/elsewhere"};
    case ServerMode::introspect_error:
        return {"--introspect", "fail"};
    case ServerMode::introspect_unexplained:
        return {"--introspect", "unexplained"};
    case ServerMode::introspect_empty:
        return {"--introspect", "empty"};
    case ServerMode::drop_name:
        return {"--introspect", "drop"};
    case ServerMode::titled:
        return {"--title", "notification-daemon"};
    case ServerMode::untitled:
        return {"--title", ""};
    }
    return {};
}

} // namespace

rig::Status make_directory(const std::string& path, mode_t mode)
{
    // chmod, since mkdir's mode passes through the umask.
    if (::mkdir(path.c_str(), 0700) != 0 || ::chmod(path.c_str(), mode) != 0)
        return rig::Status::failed_errno("mkdir " + path);
    return rig::Status::ok();
}

Rig::~Rig()
{
    rig::kill_and_reap(server, SIGKILL);
    rig::kill_and_reap(user_bus.daemon, SIGKILL);
    rig::kill_and_reap(system_bus.daemon, SIGKILL);
    if (!dir.empty()) {
        keep_host_stderr(dir);
        rig::remove_tree(dir);
    }
}

rig::Status start_rig(Rig& rig, ServerMode mode, UserBus user_bus)
{
    if (auto s = rig::make_temp_dir("tolvane-e2e", rig.dir); !s)
        return s;
    // Any user may reach the system bus, as on a real machine.
    if (::chmod(rig.dir.c_str(), 0711) != 0)
        return rig::Status::failed_errno("chmod " + rig.dir);
    const std::string system_dir = rig.dir + "/system";
    if (auto s = make_directory(rig.dir + "/user", 0700); !s)
        return s;
    if (auto s = make_directory(system_dir, 0711); !s)
        return s;
    rig.calls_path = rig.dir + "/calls";

    if (auto s = rig::start_private_bus(system_dir, rig::deadline_in(patience), rig.system_bus, rig::BusPolicy::system);
        !s)
        return s;
    rig.system_bus_address = rig.system_bus.address;
    if (user_bus == UserBus::present) {
        if (auto s = start_user_bus(rig, mode); !s)
            return s;
    } else {
        // A socket path where nothing listens, yet.
        rig.user_bus_address = "unix:path=" + rig.dir + "/user/bus";
    }
    if (auto s = rig::bind_log_socket("/dev/log", rig.log); !s)
        return s;
    if (::mkdir("/sys/kernel/security/tolvane", 0755) != 0 && errno != EEXIST)
        return rig::Status::failed_errno("mkdir /sys/kernel/security/tolvane");
    return remove_notify_file();
}

rig::Status start_user_bus(Rig& rig, ServerMode mode)
{
    const auto deadline = rig::deadline_in(patience);
    if (auto s = rig::start_private_bus(rig.dir + "/user", deadline, rig.user_bus); !s)
        return s;
    rig.user_bus_address = rig.user_bus.address;
    if (mode == ServerMode::none)
        return rig::Status::ok();
    rig::SpawnOptions options;
    options.environment = {"DBUS_SESSION_BUS_ADDRESS=" + rig.user_bus_address};
    std::vector<std::string> argv = {TOLVANE_TEST_SERVER, "--record", rig.calls_path};
    for (auto& option : server_options(mode))
        argv.push_back(std::move(option));
    if (auto s = rig::spawn(argv, options, rig.server); !s)
        return s;
    if (rig::read_line(rig.server, deadline) != "ready")
        return rig::Status::failed("the notification server did not get ready");
    return rig::Status::ok();
}

} // namespace e2e
