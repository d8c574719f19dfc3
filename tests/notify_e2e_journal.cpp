// The plug-in's lines as an administrator reads them: the real
// systemd-journald, on a private /run with /dev/log pointing at its socket
// and its journal on a tmpfs over /var/log/journal, takes what the host
// logs; `journalctl -t tolvane-daemon -o json` shows each line with its
// priority, facility, identifier, the host's pid and the exact message.
#include "notify_e2e/rig_test.h"

#include "file_text.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace e2e;

const std::string docs = "/home/ann/Documents/report.odt";
constexpr const char* journald_program = "/lib/systemd/systemd-journald";

// One text field of a line of `journalctl -o json`, unescaped (the fields
// read here hold only printable ASCII and line feeds), or "(none)".
std::string json_field(const std::string& line, const std::string& name)
{
    // Inside a value every quote is escaped: this is the key itself.
    const std::string key = "\"" + name + "\":\"";
    size_t i = line.find(key);
    if (i == std::string::npos)
        return "(none)";
    std::string value;
    for (i += key.size(); i < line.size() && line[i] != '"'; ++i)
        value += line[i] != '\\' ? line[i] : line[++i] == 'n' ? '\n' : line[i];
    return value;
}

// systemd-journald as started here, and where its standard error goes.
struct Journald {
    rig::ChildProcess process;
    std::string stderr_path;
};

// Succeeds while systemd-journald runs; once it has ended, says how, in its
// own words: it says why on its standard error. Up to systemd 257 it ends
// right after making its sockets where there is no cgroup hierarchy: that
// is the place's lack, and the status says so.
rig::Status journald_running(Journald& journald)
{
    const auto status = rig::wait_exit(journald.process, rig::Clock::now());
    if (!status)
        return rig::Status::ok();
    const std::string ended = "systemd-journald ended with status " + std::to_string(*status) + ", saying:\n"
        + rig::file_text(journald.stderr_path);
    if (auto place = rig::cgroup_hierarchy_available(); !place)
        return rig::Status::unavailable(place.error + "; " + ended);
    return rig::Status::failed(ended);
}

// systemd-journald keeping the system journal on a tmpfs over
// /var/log/journal, with /dev/log pointing at its syslog socket. It runs
// with no capabilities: it has no business with the kernel's audit state.
rig::Status start_journald(const Rig& rig, Journald& journald)
{
    std::error_code ec;
    std::filesystem::create_directories("/run/systemd/journal", ec);
    std::filesystem::create_directories("/run/systemd/journald.conf.d", ec);
    if (ec)
        return rig::Status::failed("mkdir /run/systemd: " + ec.message());
    // Written to /var at once, as after the boot's flush; nothing forwarded.
    std::ofstream("/run/systemd/journal/flushed").flush();
    std::ofstream("/run/systemd/journald.conf.d/rig.conf")
        << "[Journal]\nStorage=persistent\nReadKMsg=no\nForwardToSyslog=no\nForwardToKMsg=no\n"
           "ForwardToConsole=no\nForwardToWall=no\n";
    if (!std::filesystem::is_directory("/var/log/journal")) {
        const std::string scratch = rig.dir + "/var-log";
        ::mkdir(scratch.c_str(), 0700);
        if (auto s = rig::make_private_directory("/var/log/journal", scratch); !s)
            return s;
    }
    if (auto s = rig::mount_tmpfs("/var/log/journal", "mode=0755"); !s)
        return s;
    rig::SpawnOptions options;
    journald.stderr_path = options.stderr_path = rig.dir + "/journald.log";
    options.environment = {"SYSTEMD_LOG_TARGET=console"};
    options.without_capabilities = true;
    if (auto s = rig::spawn({journald_program}, options, journald.process); !s)
        return s;
    const auto deadline = rig::deadline_in(patience);
    while (!std::filesystem::exists("/run/systemd/journal/dev-log")) {
        if (auto s = journald_running(journald); !s)
            return s;
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed("systemd-journald made no /run/systemd/journal/dev-log, saying:\n"
                + rig::file_text(journald.stderr_path));
        ::poll(nullptr, 0, 10);
    }
    if (::unlink("/dev/log") != 0 || ::symlink("/run/systemd/journal/dev-log", "/dev/log") != 0)
        return rig::Status::failed_errno("cannot point /dev/log at the journal");
    return rig::Status::ok();
}

// Reads the tolvane-daemon entries into `entries` until there are `count`
// of them. Fails as soon as systemd-journald has ended, which it may do
// right after making its sockets, and at the deadline; either way with
// what journald said.
rig::Status read_journal(size_t count, Journald& journald, rig::Deadline deadline, std::vector<std::string>& entries)
{
    for (;;) {
        rig::ChildProcess journalctl;
        rig::SpawnOptions options;
        options.stderr_path = "/dev/null";
        entries.clear();
        if (rig::spawn({"journalctl", "-D", "/var/log/journal", "-t", "tolvane-daemon", "-o", "json", "--no-pager"},
                options, journalctl)) {
            std::istringstream lines(rig::read_rest(journalctl, deadline));
            rig::wait_exit(journalctl, deadline);
            for (std::string line; std::getline(lines, line);)
                entries.push_back(line);
        }
        if (entries.size() >= count)
            return rig::Status::ok();
        const std::string got = std::to_string(entries.size()) + " of " + std::to_string(count) + " entries; ";
        if (auto s = journald_running(journald); !s) {
            s.error = got + s.error;
            return s;
        }
        if (rig::Clock::now() >= deadline)
            return rig::Status::failed(
                got + "systemd-journald runs and said:\n" + rig::file_text(journald.stderr_path));
        ::poll(nullptr, 0, 20);
    }
}

struct JournalEntry {
    std::string priority, facility, identifier, pid, message;
    bool operator==(const JournalEntry&) const = default;
};

void PrintTo(const JournalEntry& e, std::ostream* out)
{
    *out << "PRIORITY=" << e.priority << " SYSLOG_FACILITY=" << e.facility << " SYSLOG_IDENTIFIER=" << e.identifier
         << " SYSLOG_PID=" << e.pid << " MESSAGE=\"" << e.message << "\"";
}

using NotifyJournal = RigTest;

TEST_F(NotifyJournal, TheJournalShowsEachLineWithItsPriorityFacilityIdentifierPidAndExactMessage)
{
    if (::access(journald_program, X_OK) != 0)
        GTEST_SKIP() << journald_program << " is not installed (Debian package systemd)";
    Rig rig;
    ASSERT_OK(start_rig(rig, ServerMode::answer, UserBus::missing));
    Journald journald;
    const auto started = start_journald(rig, journald);
    if (started.unavailable_here)
        GTEST_SKIP() << started.error;
    ASSERT_OK(started);
    const auto deadline = rig::deadline_in(patience);

    // No notification file: line 302.
    const auto unopened = run_host(rig);
    ASSERT_OK(unopened.status);
    EXPECT_EQ(unopened.output, std::vector<std::string>{"KRMRegister returned -1"});

    // No user bus: line 254, whose format ends in a line feed; then a sleep: line 81.
    Subscribed run;
    ASSERT_OK(start_subscribed(rig, run, deadline));
    ASSERT_OK(feed(run.fifo.get(), docs, "/usr/bin/editor", deadline));
    ASSERT_OK(wait_until_reader_idle(run.host.pid, run.fifo.get(), deadline));
    ASSERT_OK(run.logind.send("true", deadline));
    const std::string pid = std::to_string(run.host.pid);

    std::vector<std::string> entries;
    const auto read = read_journal(3, journald, deadline, entries);
    if (read.unavailable_here)
        GTEST_SKIP() << read.error;
    ASSERT_OK(read);
    std::vector<JournalEntry> seen;
    for (const auto& e : entries) {
        const auto field = [&](const char* name) { return json_field(e, name); };
        seen.push_back({field("PRIORITY"), field("SYSLOG_FACILITY"), field("SYSLOG_IDENTIFIER"), field("SYSLOG_PID"),
            field("MESSAGE")});
    }
    // The journal drops the line feed at the end of a message; it keeps the
    // datagram as it came, line feed and all, in SYSLOG_RAW.
    EXPECT_EQ(seen,
        (std::vector<JournalEntry>{
            {"3", "1", "tolvane-daemon", std::to_string(unopened.pid),
                "notify(302)-> open /sys/kernel/security/tolvane/.notify failed!"},
            {"3", "1", "tolvane-daemon", pid,
                std::string("notify(254)-> Failed to connect to user bus: ") + std::strerror(ENOENT)},
            {"6", "1", "tolvane-daemon", pid, "notify(81)-> on_set_notify_onoff: PrepareForSleep true"},
        }));
    ASSERT_EQ(entries.size(), 3u);
    const std::string line
        = "tolvane-daemon[" + pid + "]: notify(254)-> Failed to connect to user bus: " + std::strerror(ENOENT) + "\n";
    EXPECT_TRUE(json_field(entries[1], "SYSLOG_RAW").ends_with(line)) << entries[1];
}

} // namespace
