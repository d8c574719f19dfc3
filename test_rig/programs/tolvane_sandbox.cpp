// tolvane-sandbox: runs a command where the notification plug-in's fixed
// paths are private, for the demonstration and for trying things by hand.
//
//   tolvane-sandbox [--syslog FILE] COMMAND [ARGS...]
//
// The command gets a private mount namespace (and user namespace when not
// root) with its own /dev, /run and an empty tmpfs on /sys/kernel/security
// holding the directory tolvane/; two private dbus-daemons whose addresses
// are in DBUS_SESSION_BUS_ADDRESS and DBUS_SYSTEM_BUS_ADDRESS; and a scratch
// directory in TOLVANE_SANDBOX_DIR. Every datagram sent to /dev/log is
// appended to FILE (default: $TOLVANE_SANDBOX_DIR/syslog) as one line, a
// line feed inside it written as the two characters \n. When the command
// ends, the buses are stopped and the scratch directory removed; the exit
// status is the command's. Where this place cannot host the sandbox (no
// /sys, a namespace or a mount refused), it says what is missing and exits
// with 77, as a skipped test does; on any other failure, with 1.
#include "child_process.h"
#include "log_socket.h"
#include "plugin_paths.h"
#include "private_bus.h"
#include "sandbox.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::chrono_literals;

rig::Status make_dir(const std::string& path)
{
    return ::mkdir(path.c_str(), 0700) == 0 ? rig::Status::ok() : rig::Status::failed_errno("mkdir " + path);
}

void append_datagram(const std::string& file, const std::string& datagram)
{
    std::string line;
    for (const char c : datagram)
        line += c == '\n' ? std::string("\\n") : std::string(1, c);
    std::ofstream(file, std::ios::app) << line << '\n';
}

// Copies log datagrams to the file until the command ends; returns its status.
int serve_until_exit(rig::ChildProcess& command, int log_fd, const std::string& syslog_file)
{
    for (;;) {
        pollfd fds[2] = {{command.pidfd.get(), POLLIN, 0}, {log_fd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        while (auto d = rig::receive_datagram(log_fd, rig::Clock::now()))
            append_datagram(syslog_file, *d);
        if (fds[0].revents) {
            const auto status = rig::wait_exit(command, rig::deadline_in(10s));
            while (auto d = rig::receive_datagram(log_fd, rig::Clock::now()))
                append_datagram(syslog_file, *d);
            return status.value_or(1);
        }
    }
}

constexpr int place_lacks_status = 77;

int failed(const rig::Status& s)
{
    std::fprintf(stderr, "tolvane-sandbox: %s\n", s.error.c_str());
    return s.unavailable_here ? place_lacks_status : 1;
}

int run(const std::string& syslog_option, const std::vector<std::string>& command_line)
{
    std::string scratch;
    if (auto s = rig::plugin_paths_available(); !s)
        return failed(s);
    if (auto s = rig::enter_private_namespaces(); !s)
        return failed(s);
    if (auto s = rig::make_temp_dir("tolvane-sandbox", scratch); !s) {
        std::fprintf(stderr, "tolvane-sandbox: cannot make a scratch directory: %s\n", s.error.c_str());
        return 1;
    }
    int status = 1;
    {
        rig::PrivateBus user_bus, system_bus;
        rig::unique_fd log;
        rig::ChildProcess command;
        const std::string syslog_file = syslog_option.empty() ? scratch + "/syslog" : syslog_option;
        const auto deadline = rig::deadline_in(30s);
        rig::Status s = rig::make_plugin_paths_private(scratch);
        if (s)
            s = make_dir(scratch + "/user-bus");
        if (s)
            s = make_dir(scratch + "/system-bus");
        if (s)
            s = rig::start_private_bus(scratch + "/user-bus", deadline, user_bus);
        if (s)
            s = rig::start_private_bus(scratch + "/system-bus", deadline, system_bus, rig::BusPolicy::system);
        if (s)
            s = rig::bind_log_socket("/dev/log", log);
        if (s) {
            std::ofstream(syslog_file, std::ios::app).flush();
            rig::SpawnOptions options;
            options.pipe_stdout = false;
            options.environment
                = {"DBUS_SESSION_BUS_ADDRESS=" + user_bus.address, "DBUS_SYSTEM_BUS_ADDRESS=" + system_bus.address,
                    "TOLVANE_SANDBOX_DIR=" + scratch, "TOLVANE_SANDBOX_SYSLOG=" + syslog_file};
            s = rig::spawn(command_line, options, command);
        }
        if (!s) {
            status = failed(s);
        } else {
            // A Ctrl-C reaches the command; we stay to clean up after it.
            ::signal(SIGINT, SIG_IGN);
            status = serve_until_exit(command, log.get(), syslog_file);
        }
    } // the buses are killed and reaped here, before their directory goes
    rig::remove_tree(scratch);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    std::string syslog_file;
    int i = 1;
    if (i + 1 < argc && std::string_view(argv[i]) == "--syslog") {
        syslog_file = argv[i + 1];
        i += 2;
    }
    if (i < argc && std::string_view(argv[i]) == "--")
        ++i;
    if (i >= argc) {
        std::fprintf(stderr, "usage: tolvane-sandbox [--syslog FILE] COMMAND [ARGS...]\n");
        return 2;
    }
    return run(syslog_file, std::vector<std::string>(argv + i, argv + argc));
}
