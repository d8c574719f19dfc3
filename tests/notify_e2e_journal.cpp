// The plug-in's lines as an administrator reads them: the real
// systemd-journald, on a private /run with /dev/log pointing at its socket
// and its journal on a tmpfs over /var/log/journal, takes what the host
// logs; `journalctl -t tolvane-daemon -o json` shows each line with its
// priority, facility, identifier, the host's pid and the exact message.
#include "notify_e2e_rig.h"

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

// systemd-journald keeping the system journal on a tmpfs over
// /var/log/journal, with /dev/log pointing at its syslog socket. It runs
// with no capabilities: it has no business with the kernel's audit state.
std::string start_journald(const Rig& rig, rig::ChildProcess& journald)
{
    std::error_code ec;
    std::filesystem::create_directories("/run/systemd/journal", ec);
    std::filesystem::create_directories("/run/systemd/journald.conf.d", ec);
    if (ec)
        return "mkdir /run/systemd: " + ec.message();
    // Written to /var at once, as after the boot's flush; nothing forwarded.
    std::ofstream("/run/systemd/journal/flushed").flush();
    std::ofstream("/run/systemd/journald.conf.d/rig.conf")
        << "[Journal]\nStorage=persistent\nReadKMsg=no\nForwardToSyslog=no\nForwardToKMsg=no\n"
           "ForwardToConsole=no\nForwardToWall=no\n";
    if (!std::filesystem::is_directory("/var/log/journal")) {
        const std::string scratch = rig.dir + "/var-log";
        ::mkdir(scratch.c_str(), 0700);
        if (auto e = sandbox::make_private_directory("/var/log/journal", scratch); !e.empty())
            return e;
    }
    if (auto e = sandbox::mount_tmpfs("/var/log/journal", "mode=0755"); !e.empty())
        return e;
    rig::SpawnOptions options;
    options.stderr_path = rig.dir + "/journald.log";
    options.environment = {"SYSTEMD_LOG_TARGET=console"};
    options.without_capabilities = true;
    if (auto e = rig::spawn({journald_program}, options, journald); !e.empty())
        return e;
    const auto deadline = rig::deadline_in(patience);
    while (!std::filesystem::exists("/run/systemd/journal/dev-log")) {
        if (rig::wait_exit(journald, rig::Clock::now()))
            return "systemd-journald ended on start; see " + options.stderr_path;
        if (rig::Clock::now() >= deadline)
            return "systemd-journald made no /run/systemd/journal/dev-log";
        ::poll(nullptr, 0, 10);
    }
    if (::unlink("/dev/log") != 0 || ::symlink("/run/systemd/journal/dev-log", "/dev/log") != 0)
        return std::string("cannot point /dev/log at the journal: ") + std::strerror(errno);
    return {};
}

// The tolvane-daemon entries, once there are `count` of them.
std::vector<std::string> read_journal(size_t count, rig::Deadline deadline)
{
    for (;;) {
        rig::ChildProcess journalctl;
        rig::SpawnOptions options;
        options.stderr_path = "/dev/null";
        std::vector<std::string> entries;
        if (rig::spawn({"journalctl", "-D", "/var/log/journal", "-t", "tolvane-daemon", "-o", "json", "--no-pager"},
                options, journalctl)
                .empty()) {
            std::istringstream lines(rig::read_rest(journalctl, deadline));
            rig::wait_exit(journalctl, deadline);
            for (std::string line; std::getline(lines, line);)
                entries.push_back(line);
        }
        if (entries.size() >= count || rig::Clock::now() >= deadline)
            return entries;
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

TEST(NotifyJournal, TheJournalShowsEachLineWithItsPriorityFacilityIdentifierPidAndExactMessage)
{
    if (::access(journald_program, X_OK) != 0)
        GTEST_SKIP() << journald_program << " is not installed (Debian package systemd)";
    Rig rig;
    ASSERT_EQ(start_rig(rig, ServerMode::answer, UserBus::missing), "");
    rig::ChildProcess journald;
    ASSERT_EQ(start_journald(rig, journald), "");
    const auto deadline = rig::deadline_in(patience);

    // No notification file: line 302.
    const auto unopened = run_host(rig);
    ASSERT_EQ(unopened.error, "");
    EXPECT_EQ(unopened.output, std::vector<std::string>{"KRMRegister returned -1"});

    // No user bus: line 254, whose format ends in a line feed; then a sleep: line 81.
    Subscribed run;
    ASSERT_EQ(start_subscribed(rig, run, deadline), "");
    ASSERT_TRUE(feed(run.fifo.get(), docs, "/usr/bin/editor", deadline));
    ASSERT_TRUE(wait_until_reader_idle(run.host.pid, run.fifo.get(), deadline));
    ASSERT_TRUE(run.logind.send("true", deadline));
    const std::string pid = std::to_string(run.host.pid);

    const auto entries = read_journal(3, deadline);
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
    EXPECT_TRUE(json_field(entries[1], "SYSLOG_RAW")
                    .ends_with("tolvane-daemon[" + pid
                        + "]: notify(254)-> Failed to connect to user bus: " + std::strerror(ENOENT) + "\n"))
        << entries[1];
}

} // namespace
