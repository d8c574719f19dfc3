// The end-to-end rig for the notification plug-in: the real library loaded
// by tolvane-notify-host, a private user bus with the test notification
// server, a private system bus for the sleep monitor, the notification file
// on a private tmpfs and a /dev/log socket read by the test.
#pragma once

#include "child_process.h"
#include "log_socket.h"
#include "plugin_paths.h"
#include "private_bus.h"
#include "recorded_call.h"
#include "unique_fd.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

using rig::notify_file;
// Generous: only a hung plug-in or rig ever waits this long.
inline constexpr auto patience = 60s;

// Empty when the end-to-end suites can run here, else why not: they need
// private namespaces and a dbus-daemon.
std::string sandbox_missing();

// For main(), before anything else runs: private mount (and, when not root,
// user) namespace; private /dev, /run and /sys/kernel/security.
std::string enter_sandbox();

// The whole content of a file; empty when it cannot be read.
std::string file_text(const std::string& path);

// One 1024-byte record. Texts shorter than 512 bytes are NUL-padded; a text
// of exactly 512 bytes fills its field with no NUL.
std::string record(std::string_view object_path, std::string_view program_text);

// The texts the plug-in sends, untranslated.
inline constexpr const char* files_suffix = " has been blocked from accessing the files and folders";
inline constexpr const char* camera_suffix = " has been blocked from using the camera";
inline constexpr const char* command_prefix
    = "qdbus,org.orbisk.ovx.ControlCenter1,/org/orbisk/ovx/ControlCenter1,org.orbisk.ovx.ControlCenter1.ShowPage,";

// answer, fail, vanish: the test server serves the plug-in's interface and
// answers as named; slow: it answers after 1.5 s; silent: it never answers;
// standard: it serves Notify of the freedesktop interface only, like another
// desktop's server; none: nothing owns the name.
enum class ServerMode { answer, fail, vanish, slow, silent, standard, none };
enum class UserBus { present, missing };

// Each host's standard error goes to a file of the rig; when the rig goes,
// every one of them must be empty.
struct Rig {
    std::string dir;
    rig::PrivateBus user_bus;
    rig::PrivateBus system_bus;
    rig::ChildProcess server;
    rig::unique_fd log;
    std::string calls_path;
    std::string user_bus_address; // what the host is given
    std::string system_bus_address; // what the host is given
    std::vector<std::string> host_wrapper; // runs the host, e.g. under valgrind
    std::string plugin; // the plug-in the host loads; the shipped build when empty

    Rig() = default;
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;
    ~Rig();
};

// Starts the buses and the server, binds a fresh /dev/log and removes the
// notification file. Returns an empty string on success, else what failed.
std::string start_rig(Rig& rig, ServerMode mode = ServerMode::answer, UserBus user_bus = UserBus::present);
// Starts the user bus, with the server as `mode` says, where a rig started
// with UserBus::missing has none yet: at the address its hosts were given.
std::string start_user_bus(Rig& rig, ServerMode mode = ServerMode::answer);

// Compiles the locale `name` ("de_DE.UTF-8": de_DE in UTF-8) into `dir`,
// for a program run with LOCPATH=dir. Returns an empty string on success.
std::string compile_locale(const std::string& name, const std::string& dir);

// The notification file as a regular file with these bytes, or as a FIFO.
std::string write_notify_file(const std::string& bytes);
std::string make_notify_fifo();

// Opens the FIFO for writing (non-blocking writes) once the plug-in has
// opened it for reading; an invalid fd at the deadline.
rig::unique_fd open_fifo_writer(rig::Deadline deadline);

// Waits until the host's main thread has taken every byte written to the
// FIFO and is blocked reading for more: every record written so far has
// then been handled. False at the deadline.
bool wait_until_reader_idle(pid_t host, int fifo_writer, rig::Deadline deadline);

// Waits until the process's main thread is blocked reading; a reader of a
// pipe or FIFO blocks only once it has taken everything in it. False at
// the deadline.
bool wait_until_blocked_in_read(pid_t pid, rig::Deadline deadline);

// Waits until one thread of the process is blocked reading and returns its
// id, which the two waits above take as well; nullopt at the deadline.
std::optional<pid_t> wait_for_thread_blocked_in_read(pid_t pid, rig::Deadline deadline);

// Writes one record to the FIFO; false at the deadline.
bool feed(int fifo_writer, std::string_view object_path, std::string_view program_text, rig::Deadline deadline);

// Starts tolvane-notify-host on the real plug-in with the rig's buses, under
// the rig's host_wrapper if it has one, in the C locale unless `environment`
// ("NAME=VALUE" sets, "NAME" removes) says otherwise.
std::string start_host(const Rig& rig, const std::vector<std::string>& options, bool pipe_stdin,
    rig::ChildProcess& host, const std::vector<std::string>& environment = {});

struct HostRun {
    std::string error; // of the rig, not of the plug-in
    pid_t pid = -1;
    int exit_status = -1;
    std::vector<std::string> output; // the host's lines
};
// Runs the host to its end; `environment` as for start_host.
HostRun run_host(
    const Rig& rig, const std::vector<std::string>& options = {}, const std::vector<std::string>& environment = {});

// Whether the host can confine itself (--confined) on this machine, as it
// says itself: `unavailable` is empty where it can, else its reason.
struct HostConfinement {
    std::string error; // of the rig, or an answer the host should not give
    std::string unavailable;
};
HostConfinement host_confinement();

// tolvane-test-logind on the rig's system bus. Start it before the host: it
// must watch the bus before the monitor subscribes.
struct Logind {
    rig::ChildProcess process;

    // Sends the space-separated commands one after the other, each once the
    // bus has routed the one before. "bad" is a PrepareForSleep without a
    // boolean, which the handler refuses with a log line; the monitor
    // handles signals in order, so that line also tells that every signal
    // before it has been handled (the pause after a resume runs on).
    bool send(const std::string& commands, rig::Deadline deadline);
};
std::string start_logind(const Rig& rig, Logind& out, rig::Deadline deadline);
// Waits until the host's monitor has subscribed to PrepareForSleep.
bool wait_subscribed(Logind& logind, rig::Deadline deadline);

// The host reading the notification FIFO, its monitor subscribed on the
// rig's system bus, where the logind stand-in sends; or with the real
// systemd-logind (tolvane-real-logind, which takes "suspend"/"resume" where
// the stand-in takes "true"/"false") on a system bus of its own, which
// becomes the rig's.
struct Subscribed {
    Logind logind;
    rig::ChildProcess host;
    rig::unique_fd fifo;
};
enum class LogindKind { stand_in, real };
// Empty when the real one can run here, else why not: it must be installed,
// and it and its system bus need root with a whole system's user ids (the
// host's, or a container's), not the one user of a user namespace.
std::string real_logind_missing();

// Empty when a program can run here as another, unprivileged user (nobody,
// 65534), else why not.
inline constexpr const char* setpriv_program = "/usr/bin/setpriv";
std::string other_user_missing();
// Runs tolvane-test-sleep-spoofer as nobody on the rig's system bus: every
// connection there gets a unicast PrepareForSleep(sleeping). Returns an
// empty string once the bus has routed them all, else what failed.
std::string spoof_sleep(const Rig& rig, bool sleeping, rig::Deadline deadline);
std::string start_subscribed(Rig& rig, Subscribed& out, rig::Deadline deadline, LogindKind kind = LogindKind::stand_in);

// Feeds records for `object_path` from ever new programs, each once the one
// before has been handled, until one is notified: when the last silenced
// one was fed, and when the notified one had been handled.
struct Reappearance {
    bool seen = false; // false at the deadline
    rig::Clock::time_point last_silenced_fed;
    rig::Clock::time_point notified;
};
Reappearance feed_until_notified(const Rig& rig, Subscribed& run, std::string_view object_path, rig::Deadline deadline);

// Waits until some thread of the host blocks in ppoll (a bus wait) with (or
// without) a time limit: its third argument points to one, or is null. The
// monitor waits without one while notifications are on, with one while they
// are silenced; the reader waits for an answer to Notify with one. Returns
// the thread's directory in /proc, or an empty path at the deadline.
std::filesystem::path wait_for_bus_wait(pid_t host, bool limited, rig::Deadline deadline);

// The calls the server has recorded so far.
std::vector<rig::RecordedCall> recorded_calls(const Rig& rig);
// Waits until at least `count` calls are recorded, or the deadline.
std::vector<rig::RecordedCall> wait_for_calls(const Rig& rig, size_t count, rig::Deadline deadline);

// Every datagram already queued on /dev/log.
std::vector<std::string> drain_log(const Rig& rig);
// The next `count` datagrams, or fewer at the deadline.
std::vector<std::string> wait_for_log(const Rig& rig, size_t count, rig::Deadline deadline);

// The process's descriptors other than 0, 1 and 2 that a program it starts
// would inherit (no close-on-exec), as "FD -> what it names"; those that it
// inherited from this process the same way are left out.
std::vector<std::string> inheritable_descriptors(pid_t pid);

inline constexpr int user_err = 8 + 3; // LOG_USER | LOG_ERR
inline constexpr int user_info = 8 + 6; // LOG_USER | LOG_INFO
std::string ident_of(pid_t pid); // "tolvane-daemon[PID]"

// A log line of the plug-in as it arrived on /dev/log, less its time stamp.
struct Logged {
    int priority;
    std::string message;
    bool operator==(const Logged&) const = default;
};
void PrintTo(const Logged& line, std::ostream* out);
// Parses the datagrams; one that is no syslog line, or comes from another
// process than `host` under another name, fails the test.
std::vector<Logged> logged_lines(const std::vector<std::string>& datagrams, pid_t host);

std::vector<std::string> summaries(const std::vector<rig::RecordedCall>& calls);

} // namespace e2e

namespace rig {
// How GoogleTest shows a call in a failure: the server's own line.
void PrintTo(const RecordedCall& call, std::ostream* out);
} // namespace rig
