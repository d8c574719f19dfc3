// Places that cannot host a suite's sandbox, made here as a builder or a
// container makes them: an empty tmpfs over /sys, /sys/kernel or
// /sys/fs/cgroup in a private mount namespace, or a seccomp filter that
// refuses unshare or mounts as a container's profile does. There a suite
// (and tolvane-sandbox) exits 77 with a line saying what the place lacks; a
// suite whose sandbox is set up and then fails, or whose set-up fails for
// anything else, still fails.
//
// To run a program in a place, this binary runs itself as
//   notify_e2e_places --place NAME -- PROGRAM [ARGS...]
// which makes the place, then runs PROGRAM with its standard error on its
// standard output.
#include "child_process.h"
#include "plugin_paths.h"
#include "sandbox.h"
#include "skipped_suite.h"
#include "table_rows.h"

#include <gtest/gtest.h>

#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <endian.h>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::chrono_literals;

// --- the places --------------------------------------------------------------

rig::Status empty_tmpfs_over(const char* dir)
{
    if (auto s = rig::enter_private_namespaces(); !s)
        return s;
    return rig::mount_tmpfs(dir, "mode=0755");
}

// Makes `nr` fail with `error`; with `flags`, only a call whose fourth
// argument (mount's flags) is those, read-only or not. Only this build's
// programs run under it, so the numbers are theirs: no check of the ABI.
rig::Status refuse(unsigned nr, std::optional<unsigned> flags, int error)
{
    const unsigned flags_low_word
        = offsetof(seccomp_data, args) + 3 * sizeof(__u64) + (__BYTE_ORDER == __BIG_ENDIAN ? sizeof(__u32) : 0);
    std::vector<sock_filter> code{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    if (flags) {
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 4));
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, flags_low_word));
        code.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, ~static_cast<unsigned>(MS_RDONLY)));
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, *flags, 0, 1));
    } else {
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, nr, 0, 1));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    const sock_fprog program{static_cast<unsigned short>(code.size()), code.data()};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
        || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) != 0)
        return rig::Status::failed_errno("install the seccomp filter");
    return rig::Status::ok();
}

// The flags of the rig's tmpfs mounts (rig::mount_tmpfs).
constexpr unsigned tmpfs_flags = MS_NOSUID | MS_NODEV;

struct Place {
    std::string_view name;
    rig::Status (*make)();
};

const Place places[] = {
    {"sys-empty", [] { return empty_tmpfs_over("/sys"); }},
    {"sys-kernel-empty", [] { return empty_tmpfs_over("/sys/kernel"); }},
    {"cgroup-empty", [] { return empty_tmpfs_over("/sys/fs/cgroup"); }},
    {"unshare-refused", [] { return refuse(SYS_unshare, std::nullopt, EPERM); }},
    {"mounts-refused", [] { return refuse(SYS_mount, std::nullopt, EPERM); }},
    {"tmpfs-refused", [] { return refuse(SYS_mount, tmpfs_flags, EPERM); }},
    {"tmpfs-denied", [] { return refuse(SYS_mount, tmpfs_flags, EACCES); }},
    {"host", [] { return rig::Status::ok(); }},
};

int run_in_place(std::string_view name, char** command)
{
    for (const auto& place : places) {
        if (place.name != name)
            continue;
        if (auto s = place.make(); !s) {
            std::fprintf(stderr, "cannot make the place %s: %s\n", place.name.data(), s.error.c_str());
            return 2;
        }
        ::dup2(STDOUT_FILENO, STDERR_FILENO);
        ::execv(command[0], command);
        std::perror(command[0]);
        return 127;
    }
    std::fprintf(stderr, "no place %s\n", name.data());
    return 2;
}

// --- the tests ---------------------------------------------------------------

struct Outcome {
    std::optional<int> status;
    std::vector<std::string> lines;
};

Outcome run_in(
    const std::string& place, const std::vector<std::string>& command, const std::vector<std::string>& environment = {})
{
    std::vector<std::string> argv{"/proc/self/exe", "--place", place, "--"};
    argv.insert(argv.end(), command.begin(), command.end());
    rig::SpawnOptions options;
    options.environment = environment;
    rig::ChildProcess child;
    Outcome out;
    if (auto s = rig::spawn(argv, options, child); !s) {
        out.lines.push_back(s.error);
        return out;
    }
    const auto deadline = rig::deadline_in(300s);
    std::istringstream text(rig::read_rest(child, deadline));
    for (std::string line; std::getline(text, line);)
        out.lines.push_back(line);
    out.status = rig::wait_exit(child, deadline);
    return out;
}

// Whether `line` holds the pieces of `text` between its "*"s, in order.
bool holds(const std::string& line, const std::string& text)
{
    size_t at = 0;
    for (size_t from = 0; from <= text.size();) {
        const size_t star = std::min(text.find('*', from), text.size());
        at = line.find(text.substr(from, star - from), at);
        if (at == std::string::npos)
            return false;
        at += star - from;
        from = star + 1;
    }
    return true;
}

// Whether a line holds `text` (holds()); the output, when none does.
testing::AssertionResult has_line_with(const Outcome& out, const std::string& text)
{
    for (const auto& line : out.lines)
        if (holds(line, text))
            return testing::AssertionSuccess();
    std::string all;
    for (const auto& line : out.lines)
        all += line + "\n";
    return testing::AssertionFailure() << "no line with \"" << text << "\" in:\n" << all;
}

const std::string reader = NOTIFY_E2E_READER;
const std::string journal = NOTIFY_E2E_JOURNAL;
const std::string generator = MKPROFILE_OUTCOMES;
const std::string sandbox_program = TOLVANE_SANDBOX;

struct Row {
    const char* name;
    std::string place;
    std::vector<std::string> command;
    std::vector<std::string> environment;
    int status;
    std::string says;
    // Where a newer daemon needs nothing of what the place lacks, the suite
    // may pass instead; it never fails.
    bool may_pass = false;
};

TEST(SuitePlaces, WhereThePlaceLacksWhatTheSandboxNeedsTheSuiteSkipsSayingWhat)
{
    const std::string all_skipped = "[  SKIPPED ] all ";
    const Row rows[] = {
        {"no sysfs on /sys", "sys-empty", {reader}, {}, 77,
            "/sys is not a sysfs, so there is no /sys/kernel/security to make private"},
        {"no /sys/kernel/security", "sys-kernel-empty", {reader}, {}, 77,
            "there is no /sys/kernel/security to make private"},
        {"unshare refused", "unshare-refused", {reader}, {}, 77, "is refused here: Operation not permitted"},
        // The first tmpfs is /dev's, or in a chroot the one that holds a root of its own.
        {"tmpfs mounts refused", "tmpfs-refused", {reader}, {}, 77, "mount tmpfs on /*: Operation not permitted"},
        {"tmpfs mounts denied", "tmpfs-denied", {reader}, {}, 77, "mount tmpfs on /*: Permission denied"},
        {"no cgroup hierarchy for journald", "cgroup-empty", {journal}, {}, 77,
            "no cgroup hierarchy: /sys/fs/cgroup is neither a cgroup2 file system nor a tmpfs holding systemd's", true},
        {"the generator's suite, mounts refused", "mounts-refused", {generator}, {}, 77,
            "mount --make-rprivate /: Operation not permitted"},
        {"tolvane-sandbox, no sysfs on /sys", "sys-empty", {sandbox_program, "true"}, {}, 77,
            "tolvane-sandbox: /sys is not a sysfs"},
        {"tolvane-sandbox, tmpfs mounts refused", "tmpfs-refused", {sandbox_program, "true"}, {}, 77,
            "tolvane-sandbox: mount tmpfs on /*: Operation not permitted"},
    };
    rig::for_each_row(rows, [&](const Row& row) {
        const Outcome out = run_in(row.place, row.command, row.environment);
        if (row.may_pass && out.status == std::optional<int>(0)) {
            EXPECT_TRUE(has_line_with(out, "[  PASSED  ] "));
            return;
        }
        EXPECT_EQ(out.status, std::optional<int>(row.status));
        EXPECT_TRUE(has_line_with(out, row.says));
        // A suite names every test as skipped, under the reason.
        if (row.command[0] != sandbox_program) {
            EXPECT_TRUE(has_line_with(out, row.command[0] == journal ? "[  SKIPPED ] NotifyJournal." : all_skipped));
        }
    });
}

TEST(SuitePlaces, WhereTheSandboxIsSetUpAndThenFailsTheSuiteFails)
{
    const std::string test = "NotifyReader.ARegularFileIsReadWholeRecordByWholeRecordUntilItEnds";
    const Row rows[] = {
        {"a test that fails", "host", {reader, "--gtest_filter=" + test},
            {"TOLVANE_TEST_PLUGIN=/nonexistent/libtolvane-notify.so"}, 1, "[  FAILED  ] " + test},
        {"a set-up that fails for want of a scratch directory", "host", {reader}, {"TMPDIR=/nonexistent"}, 1,
            "cannot set up the sandbox: mkdtemp /nonexistent/tolvane-e2e-dev.XXXXXX: No such file or directory"},
        {"tolvane-sandbox, a command that fails", "host", {sandbox_program, "/bin/sh", "-c", "echo ran; exit 3"}, {}, 3,
            "ran"},
    };
    rig::for_each_row(rows, [&](const Row& row) {
        const Outcome out = run_in(row.place, row.command, row.environment);
        EXPECT_EQ(out.status, std::optional<int>(row.status));
        EXPECT_TRUE(has_line_with(out, row.says));
    });
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 5 && std::string_view(argv[1]) == "--place" && std::string_view(argv[3]) == "--")
        return run_in_place(argv[2], argv + 4);
    testing::InitGoogleTest(&argc, argv);
    // The places are made from one that can host the suites.
    rig::Status here = rig::private_namespaces_available();
    if (here)
        here = rig::plugin_paths_available();
    return rig::run_all_tests(here.error);
}
