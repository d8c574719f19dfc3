#include "notify_e2e/host.h"

#include "artifacts.h"
#include "file_text.h"

#include <filesystem>
#include <sstream>

namespace e2e {
namespace {

constexpr std::string_view host_stderr_suffix = ".host-stderr";

std::vector<std::string>& kept_host_stderr()
{
    static std::vector<std::string> kept;
    return kept;
}

} // namespace

rig::Status start_host(const Rig& rig, const std::vector<std::string>& options, bool pipe_stdin,
    rig::ChildProcess& host, const std::vector<std::string>& environment)
{
    std::vector<std::string> argv = rig.host_wrapper;
    argv.push_back(TOLVANE_NOTIFY_HOST);
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(rig.plugin.empty() ? rig::artifact(rig::plugin_variable, TOLVANE_NOTIFY_PLUGIN) : rig.plugin);
    rig::SpawnOptions spawn_options;
    spawn_options.pipe_stdin = pipe_stdin;
    static int hosts_started = 0;
    spawn_options.stderr_path = rig.dir + "/" + std::to_string(++hosts_started) + std::string(host_stderr_suffix);
    // The untranslated texts are the ones the tests expect.
    spawn_options.environment = {"DBUS_SESSION_BUS_ADDRESS=" + rig.user_bus_address,
        "DBUS_SYSTEM_BUS_ADDRESS=" + rig.system_bus_address, "LC_ALL=C", "LANGUAGE", "XDG_RUNTIME_DIR"};
    spawn_options.environment.insert(spawn_options.environment.end(), environment.begin(), environment.end());
    return rig::spawn(argv, spawn_options, host);
}

HostRun run_host(const Rig& rig, const std::vector<std::string>& options, const std::vector<std::string>& environment)
{
    HostRun run;
    rig::ChildProcess host;
    if (run.status = start_host(rig, options, false, host, environment); !run.status)
        return run;
    run.pid = host.pid;
    const auto deadline = rig::deadline_in(patience);
    std::istringstream lines(rig::read_rest(host, deadline));
    for (std::string line; std::getline(lines, line);)
        run.output.push_back(line);
    const auto status = rig::wait_exit(host, deadline);
    if (!status) {
        run.status = rig::Status::failed("the host did not end");
        return run;
    }
    run.exit_status = *status;
    return run;
}

HostConfinement host_confinement()
{
    HostConfinement result;
    rig::ChildProcess host;
    if (result.status = rig::spawn({TOLVANE_NOTIFY_HOST, "--can-confine"}, {}, host); !result.status)
        return result;
    const auto deadline = rig::deadline_in(patience);
    const std::string output = rig::read_rest(host, deadline);
    const auto status = rig::wait_exit(host, deadline);
    const std::string_view cannot = "cannot confine: ";
    if (status == 0 && output == "can confine\n")
        return result;
    if (status == 3 && output.starts_with(cannot) && output.size() > cannot.size() + 1 && output.ends_with('\n')) {
        result.unavailable = output.substr(cannot.size(), output.size() - cannot.size() - 1);
        return result;
    }
    result.status = rig::Status::failed("tolvane-notify-host --can-confine: exit status "
        + (status ? std::to_string(*status) : "none") + ", output '" + output + "'");
    return result;
}

void keep_host_stderr(const std::string& rig_dir)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(rig_dir, error)) {
        const std::string path = entry.path().string();
        if (!path.ends_with(host_stderr_suffix))
            continue;
        // The start is enough to tell what went wrong.
        if (const std::string text = rig::file_text(path).substr(0, 4096); !text.empty())
            kept_host_stderr().push_back(entry.path().filename().string() + ": " + text);
    }
}

std::vector<std::string> take_host_stderr()
{
    return std::exchange(kept_host_stderr(), {});
}

} // namespace e2e
