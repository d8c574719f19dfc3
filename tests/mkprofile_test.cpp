// tv-mkprofile as an administrator meets it: the real program, run against
// the fixed profile directory inside a private mount namespace.
#include "artifacts.h"
#include "child_process.h"
#include "md5.h"
#include "profile_path.h"
#include "profile_writer.h"
#include "sandbox.h"
#include "skipped_suite.h"
#include "status_assertion.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string profile_dir = "/etc/tolvane.d";
const std::string usage
    = "Usage: tv-mkprofile file_path\n\n for exmple: \n\tsudo tv-mkprofile /home/vel/Desktop/test.txt\n";

// The digest itself is md5_test's business; here it only names the profile.
std::string md5_of(const std::string& text)
{
    return md5_hex(text.c_str());
}

std::string profile_of(const std::string& program)
{
    return profile_dir + "/" + md5_of(program);
}

std::string expected_content(const std::string& program)
{
    return program + " 0.0.1 flags=(complain)\n{\nallow * * rwxd\n}\n";
}

std::string created_line(const std::string& p)
{
    return p + "'s profile " + profile_of(p) + " created!\n";
}
std::string exists_line(const std::string& p)
{
    return "warning: " + p + "'s profile " + profile_of(p) + " already exists!\n";
}
std::string failed_line(const std::string& p)
{
    return "warning: " + p + "'s profile " + profile_of(p) + " create failed. maybe you need run as root!\n";
}
std::string invalid_line(const std::string& p)
{
    return "warning: " + p + "is not invalid filepath!\n";
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> entries(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec))
        names.insert(e.path().filename().string());
    return names;
}

// Where the runs' standard error goes, to be read back once each has ended.
std::string stderr_dir;
int runs_started = 0;

struct CommandRun {
    rig::ChildProcess process;
    std::string stderr_path;
};

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// The program's command line. `wrapper` comes first (strace and its
// options). In a cross build the program runs through the emulator that
// runs this test; the emulator (qemu-user) is handed the loader's variables
// with -E, so that its own loader never tries to preload a library built
// for the other machine.
// What the program wrote to standard error. An emulator reports a signal
// that ends the program in a core dump with a line of its own, which the
// program did not write.
std::string program_stderr(const std::string& err)
{
    const std::vector<std::string> emulator = {TV_MKPROFILE_EMULATOR};
    const std::string emulator_line = "qemu: uncaught target signal ";
    if (emulator.empty() || !err.starts_with(emulator_line) || err.find('\n') != err.size() - 1)
        return err;
    return {};
}

std::vector<std::string> mkprofile_command(
    const std::vector<std::string>& args, rig::SpawnOptions& options, const std::vector<std::string>& wrapper = {})
{
    std::vector<std::string> argv = wrapper;
    const std::vector<std::string> emulator = {TV_MKPROFILE_EMULATOR};
    if (!emulator.empty()) {
        argv.insert(argv.end(), emulator.begin(), emulator.end());
        std::vector<std::string> environment;
        for (const auto& variable : options.environment)
            if (variable.starts_with("LD_"))
                argv.insert(argv.end(), {"-E", variable});
            else
                environment.push_back(variable);
        options.environment = environment;
    }
    argv.push_back(rig::artifact(rig::mkprofile_variable, TV_MKPROFILE));
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

CommandRun start_mkprofile(
    const std::vector<std::string>& args, rig::SpawnOptions options = {}, const std::vector<std::string>& wrapper = {})
{
    CommandRun run;
    run.stderr_path = stderr_dir + "/" + std::to_string(runs_started++);
    options.stderr_path = run.stderr_path;
    if (!options.umask)
        options.umask = 022;
    const auto argv = mkprofile_command(args, options, wrapper);
    EXPECT_OK(rig::spawn(argv, options, run.process));
    return run;
}

Outcome finish(CommandRun& run)
{
    const auto deadline = rig::deadline_in(std::chrono::seconds(60));
    Outcome outcome;
    outcome.out = rig::read_rest(run.process, deadline);
    outcome.status = rig::wait_exit(run.process, deadline).value_or(-1);
    outcome.err = read_file(run.stderr_path);
    return outcome;
}

Outcome mkprofile(const std::vector<std::string>& args, const rig::SpawnOptions& options = {},
    const std::vector<std::string>& wrapper = {})
{
    CommandRun run = start_mkprofile(args, options, wrapper);
    return finish(run);
}

// Runs tv-mkprofile for `p` under strace, which logs to `trace` the calls
// that `strace_args` select, with the paths of their descriptors and whole
// strings, and performs the faults those arguments inject.
Outcome mkprofile_traced(const std::string& p, const std::vector<std::string>& strace_args, std::string& trace)
{
    const std::string log = stderr_dir + "/trace" + std::to_string(runs_started);
    std::vector<std::string> wrapper{STRACE, "-o", log, "-y", "-s", "512"};
    wrapper.insert(wrapper.end(), strace_args.begin(), strace_args.end());
    // LeakSanitizer cannot work under ptrace; the runs without strace look for leaks.
    rig::SpawnOptions options;
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    options.environment.push_back(
        std::string("ASAN_OPTIONS=") + (asan_options != nullptr ? asan_options : "") + ":detect_leaks=0");
    const Outcome outcome = mkprofile({p}, options, wrapper);
    trace = read_file(log);
    return outcome;
}

// The position of the first line of `trace` that starts with `start` and
// contains `part`; -1 when there is none.
long trace_position(const std::string& trace, const std::string& start, const std::string& part)
{
    std::istringstream lines(trace);
    long n = 0;
    for (std::string line; std::getline(lines, line); ++n)
        if (line.starts_with(start) && line.find(part) != std::string::npos)
            return n;
    return -1;
}

// Each test gets an empty profile directory of its own: a fresh tmpfs.
class ProfileCommand : public ::testing::Test {
protected:
    void SetUp() override { mount_profile_dir("mode=0755"); }
    void TearDown() override
    {
        if (mounted_) {
            EXPECT_OK(sandbox::unmount(profile_dir));
        }
    }
    void mount_profile_dir(const std::string& data, bool read_only = false)
    {
        if (mounted_) {
            ASSERT_OK(sandbox::unmount(profile_dir));
        }
        ASSERT_OK(sandbox::mount_tmpfs(profile_dir, data, read_only));
        mounted_ = true;
    }
    void remove_profile_dir()
    {
        ASSERT_OK(sandbox::unmount(profile_dir));
        mounted_ = false;
        ASSERT_EQ(::rmdir(profile_dir.c_str()), 0);
    }
    bool mounted_ = false;
};

TEST_F(ProfileCommand, WrongArgumentCountOrHelpPrintsUsageAndStatusOne)
{
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"/usr/bin/app", "/usr/bin/other"},
        {"--help"},
        {"-help"},
        {"-h"},
    };
    for (const auto& args : cases) {
        const auto r = mkprofile(args);
        EXPECT_EQ(r.status, 1) << ::testing::PrintToString(args);
        EXPECT_EQ(r.out, usage);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(entries(profile_dir).empty());
}

TEST_F(ProfileCommand, MalformedPathsAreRefusedWithoutTouchingTheDirectory)
{
    const std::vector<std::string> cases = {
        "-H",
        "--HELP",
        "-x",
        "",
        "abc",
        "/",
        "/usr/bin/",
        "usr/bin/app",
        "/usr//bin/app",
        "/usr/./bin/app",
        "/usr/../bin/app",
        "/" + std::string(4096, 'a'),
        // A line feed would add lines of the path's choosing to a root-owned profile.
        "/opt/app\n}\nallow * * rwxd",
        "/opt/app\n",
    };
    // The check's own answer is exactly -1, for no path at all too.
    EXPECT_EQ(check_file_path(nullptr), -1);
    for (const auto& p : cases) {
        EXPECT_EQ(check_file_path(p.c_str()), -1) << p;
        const auto r = mkprofile({p});
        EXPECT_EQ(r.status, 255) << p;
        EXPECT_EQ(r.out, invalid_line(p));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(entries(profile_dir).empty());
}

TEST_F(ProfileCommand, AcceptedPathsGetTheirStarterProfile)
{
    const std::vector<std::string> cases = {
        "/opt/app/run",
        "/opt/editor/bin/editor",
        "/usr/bin/.",
        "/usr/bin/..",
        "/a",
        "/opt/my app/run",
        "/no/such/program",
        "/opt/\xc3\xa9t\xe9/run\t",
        "/" + std::string(4095, 'b'),
    };
    for (const auto& p : cases) {
        EXPECT_EQ(check_file_path(p.c_str()), 0) << p;
        const auto r = mkprofile({p});
        EXPECT_EQ(r.status, 0) << p;
        EXPECT_EQ(r.out, created_line(p));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(profile_of(p)), expected_content(p));
    }
    EXPECT_EQ(entries(profile_dir).size(), cases.size());
    EXPECT_EQ(read_file(profile_of("/opt/app/run")).size(), 55u);
    // One name as md5sum gives it.
    EXPECT_EQ(read_file(profile_dir + "/66c5f0514ffae06c0202d826479b08b2"), expected_content("/opt/editor/bin/editor"));
}

// Never more than 0644: a root-owned profile stays unwritable to others even
// when the command runs with umask 0.
TEST_F(ProfileCommand, PermissionBitsAreReadWriteForTheOwnerOnlyLessTheUmask)
{
    const struct {
        mode_t umask;
        mode_t mode;
    } cases[] = {{0, 0644}, {002, 0644}, {022, 0644}, {027, 0640}, {077, 0600}, {0266, 0400}};
    for (const auto& c : cases) {
        const std::string p = "/opt/umask" + std::to_string(c.umask);
        rig::SpawnOptions options;
        options.umask = c.umask;
        ASSERT_EQ(mkprofile({p}, options).status, 0);
        struct stat st = {};
        ASSERT_EQ(::lstat(profile_of(p).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.mode) << "umask " << std::oct << c.umask;

        // The fallback for file systems without unnamed files.
        const std::string q = profile_dir + "/exclusive" + std::to_string(c.umask);
        const mode_t previous = ::umask(c.umask);
        EXPECT_EQ(create_profile(q, "x\n", CreateMethod::exclusive), CreateResult::created);
        ::umask(previous);
        ASSERT_EQ(::lstat(q.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << "exclusive, umask " << std::oct << c.umask;
    }
}

TEST_F(ProfileCommand, SecondRunLeavesTheProfileUntouched)
{
    const std::string p = "/usr/bin/twice";
    ASSERT_EQ(mkprofile({p}).status, 0);
    struct stat before = {};
    ASSERT_EQ(::stat(profile_of(p).c_str(), &before), 0);

    const auto r = mkprofile({p});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, exists_line(p));
    EXPECT_EQ(r.err, "");
    struct stat after = {};
    ASSERT_EQ(::stat(profile_of(p).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(read_file(profile_of(p)), expected_content(p));
}

TEST_F(ProfileCommand, AnyEntryAtTheProfilePathCountsAsExisting)
{
    const std::string target = "/tmp/tolvane-link-target-" + std::to_string(::getpid());
    const struct {
        const char* program;
        void (*make)(const std::string& q, const std::string& target);
    } cases[] = {
        {"/opt/dir", [](const std::string& q, const std::string&) { fs::create_directory(q); }},
        // Even a dangling link must not be followed to create a file elsewhere.
        {"/opt/dangling", [](const std::string& q, const std::string& t) { fs::create_symlink(t, q); }},
        {"/opt/linked",
            [](const std::string& q, const std::string& t) {
                std::ofstream(profile_dir + "/victim") << "keep";
                fs::create_symlink(profile_dir + "/victim", q);
                (void)t;
            }},
    };
    for (const auto& c : cases) {
        const std::string q = profile_of(c.program);
        c.make(q, target);
        const auto r = mkprofile({c.program});
        EXPECT_EQ(r.status, 254) << c.program;
        EXPECT_EQ(r.out, exists_line(c.program));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(read_file(profile_dir + "/victim"), "keep");
}

TEST_F(ProfileCommand, UnwritableDirectoryReportsCreateFailedAndLeavesNothing)
{
    const std::string p = "/usr/bin/app";
    const auto read_only = [this] { mount_profile_dir("mode=0755", true); };
    const auto no_permission = [this] { mount_profile_dir("mode=0555"); };
    // One page of space, already taken: the file can be made but not filled.
    const auto full = [this] {
        mount_profile_dir("mode=0755,size=4k");
        std::ofstream(profile_dir + "/filler") << std::string(4096, 'x');
    };
    const std::vector<std::pair<std::string, std::function<void()>>> cases
        = {{"read-only", read_only}, {"no permission", no_permission}, {"full", full}};
    for (const auto& [name, prepare] : cases) {
        prepare();
        const auto before = entries(profile_dir);
        rig::SpawnOptions options;
        options.without_capabilities = true;
        const auto r = mkprofile({p}, options);
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(r.out, failed_line(p)) << name;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(entries(profile_dir), before) << name;
    }
}

// "created!" comes only once the profile and its name are on disk: the
// content synced, then linked in, then the directory synced.
TEST_F(ProfileCommand, CreatedIsPrintedOnlyOnceTheProfileAndItsNameAreOnDisk)
{
    const std::string p = "/opt/durable/run";
    std::string trace;
    const auto r = mkprofile_traced(p, {"-e", "trace=write,fsync,linkat"}, trace);
    ASSERT_EQ(r.status, 0) << trace;
    EXPECT_EQ(r.out, created_line(p));
    // An unnamed file shows as "/etc/tolvane.d/#INODE (deleted)"; the
    // directory's fsync is the one on a descriptor of the directory itself.
    const std::vector<std::pair<std::string, std::string>> steps = {
        {"write(", "</etc/tolvane.d/#"},
        {"fsync(", "</etc/tolvane.d/#"},
        {"linkat(", md5_of(p) + "\", AT_"},
        {"fsync(", "</etc/tolvane.d>) "},
        {"write(1<", " created!\\n\", "},
    };
    long previous = -1;
    for (const auto& [start, part] : steps) {
        const long at = trace_position(trace, start, part);
        EXPECT_GT(at, previous) << start << "..." << part << " out of order or missing in\n" << trace;
        previous = at;
    }
}

// Faults only the kernel can cause, made by strace: each is survived or
// reported, and a run that reports a failure leaves nothing behind. A fatal
// signal that strace sends as a call begins ends the run, with the whole
// profile in place or nothing at all.
TEST_F(ProfileCommand, FaultsAreSurvivedOrReportedWithNothingLeftBehind)
{
    enum class Result { created, exists, failed, killed_after_creating, killed_leaving_nothing };
    const std::string p = "/opt/faulty/run";
    const std::string name = md5_of(p);
    // Only calls on the directory and the profile's name count and fail.
    const std::vector<std::string> on_directory = {"-P", profile_dir, "-P", profile_dir + "/" + name};
    const auto with = [&](std::vector<std::string> before, const std::vector<std::string>& injections) {
        for (const auto& i : injections) {
            before.push_back("-e");
            before.push_back("inject=" + i);
        }
        return before;
    };
    const auto exclusive = [&](const std::vector<std::string>& injections) {
        std::vector<std::string> all{"openat:error=EOPNOTSUPP:when=2"};
        all.insert(all.end(), injections.begin(), injections.end());
        return with(on_directory, all);
    };
    // SIGQUIT would leave a core file in the test's directory.
    const auto without_core = [](std::vector<std::string> strace_args) {
        strace_args.insert(strace_args.end(), {PRLIMIT, "--core=0", "--"});
        return strace_args;
    };
    const struct {
        const char* what;
        std::vector<std::string> strace_args;
        Result result;
        std::size_t lost; // leading bytes a short write claimed without storing them
    } cases[] = {
        {"the profile's fsync fails", with({}, {"fsync:error=EIO:when=1"}), Result::failed, 0},
        {"the directory's fsync fails", with({}, {"fsync:error=EIO:when=2"}), Result::failed, 0},
        // A sanitizer's runtime writes files of its own: only the exclusive
        // create gives the profile a name that tells its writes apart.
        {"a write is interrupted", exclusive({"write:error=EINTR:when=1"}), Result::created, 0},
        {"a write is short", exclusive({"write:retval=10:when=1"}), Result::created, 10},
        {"the directory cannot be opened", with(on_directory, {"openat:error=EACCES:when=1"}), Result::failed, 0},
        {"an unnamed file cannot be made", with(on_directory, {"openat:error=EACCES:when=2"}), Result::failed, 0},
        {"no unnamed files on this file system", exclusive({}), Result::created, 0},
        {"a kernel that predates unnamed files", with(on_directory, {"openat:error=EISDIR:when=2"}), Result::created,
            0},
        {"exclusive: the profile's fsync fails", exclusive({"fsync:error=EIO:when=1"}), Result::failed, 0},
        {"exclusive: the directory's fsync fails", exclusive({"fsync:error=EIO:when=2"}), Result::failed, 0},
        {"exclusive: closing the profile fails", exclusive({"close:error=EIO:when=1"}), Result::failed, 0},
        // Between the exclusive create and the write the profile is empty.
        {"exclusive: SIGTERM before the profile is written", exclusive({"write:error=EINTR:signal=SIGTERM:when=1"}),
            Result::killed_after_creating, 0},
        {"exclusive: SIGINT as the profile's fsync fails", exclusive({"fsync:error=EIO:signal=SIGINT:when=1"}),
            Result::killed_leaving_nothing, 0},
        {"exclusive: SIGHUP as the directory's fsync fails", exclusive({"fsync:error=EIO:signal=SIGHUP:when=2"}),
            Result::killed_leaving_nothing, 0},
        {"exclusive: SIGQUIT as closing the profile fails",
            without_core(exclusive({"close:error=EIO:signal=SIGQUIT:when=1"})), Result::killed_leaving_nothing, 0},
        // ENOENT is what kernels before 6.10 answer when the capability is missing.
        {"linking by descriptor needs a capability", with({}, {"linkat:error=ENOENT:when=1"}), Result::created, 0},
        {"linking by descriptor is not permitted", with({}, {"linkat:error=EPERM:when=1"}), Result::created, 0},
        {"no /proc to link through", with({}, {"linkat:error=ENOENT"}), Result::created, 0},
        {"the name is taken as the link is made", with({}, {"linkat:error=EEXIST:when=1"}), Result::exists, 0},
        {"the link fails", with({}, {"linkat:error=EIO:when=1"}), Result::failed, 0},
    };
    const std::string content = expected_content(p);
    for (const auto& c : cases) {
        std::string trace;
        const auto r = mkprofile_traced(p, c.strace_args, trace);
        EXPECT_NE(trace.find("(INJECTED)"), std::string::npos) << c.what << ": no fault was made\n" << trace;
        EXPECT_EQ(program_stderr(r.err), "") << c.what;
        switch (c.result) {
        case Result::created:
            EXPECT_EQ(r.status, 0) << c.what;
            EXPECT_EQ(r.out, created_line(p)) << c.what;
            EXPECT_EQ(entries(profile_dir), std::set<std::string>{name}) << c.what;
            EXPECT_EQ(read_file(profile_of(p)), content.substr(c.lost)) << c.what;
            break;
        case Result::exists:
            EXPECT_EQ(r.status, 254) << c.what;
            EXPECT_EQ(r.out, exists_line(p)) << c.what;
            EXPECT_TRUE(entries(profile_dir).empty()) << c.what;
            break;
        case Result::failed:
            EXPECT_EQ(r.status, 255) << c.what;
            EXPECT_EQ(r.out, failed_line(p)) << c.what;
            EXPECT_TRUE(entries(profile_dir).empty()) << c.what;
            break;
        case Result::killed_after_creating:
        case Result::killed_leaving_nothing: {
            // The signal the injection names ends the run, once the run lets it.
            std::string signal;
            for (const auto& arg : c.strace_args)
                if (const auto at = arg.find(":signal="); at != std::string::npos)
                    signal = arg.substr(at + 8, arg.find(':', at + 1) - at - 8);
            EXPECT_NE(trace.find("+++ killed by " + signal + " "), std::string::npos) << c.what << "\n" << trace;
            EXPECT_GT(r.status, 128) << c.what;
            EXPECT_EQ(r.out, "") << c.what;
            if (c.result == Result::killed_after_creating) {
                EXPECT_EQ(entries(profile_dir), std::set<std::string>{name}) << c.what;
                EXPECT_EQ(read_file(profile_of(p)), content) << c.what;
            } else {
                EXPECT_TRUE(entries(profile_dir).empty()) << c.what;
            }
            break;
        }
        }
        fs::remove(profile_of(p));
    }
}

// A reader that has gone (`tv-mkprofile P | true`): the line cannot be
// written, and the status still tells the outcome.
TEST_F(ProfileCommand, StatusTellsTheOutcomeWhenTheReaderHasGone)
{
    const std::string p = "/opt/unread/run";
    // Root passes the permission bits; only the capability-free run fails on them.
    ASSERT_EQ(::chmod(profile_dir.c_str(), 0555), 0);
    const struct {
        const char* what;
        std::vector<std::string> args;
        bool without_capabilities;
        int status;
    } cases[] = {
        {"usage", {}, false, 1},
        {"refused path", {"opt/unread"}, false, 255},
        {"created", {p}, false, 0},
        {"existing", {p}, false, 254},
        {"create failed", {"/opt/unread/other"}, true, 255},
    };
    // As under a shell, the program starts with SIGPIPE at its default and
    // unblocked: exec passes on what the test process has.
    ASSERT_NE(::signal(SIGPIPE, SIG_DFL), SIG_ERR);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    ASSERT_EQ(::sigprocmask(SIG_UNBLOCK, &pipe_signal, nullptr), 0);
    for (const auto& c : cases) {
        int ends[2];
        ASSERT_EQ(::pipe(ends), 0);
        ::close(ends[0]);
        // The child inherits the test's standard output: for the start only,
        // that is the pipe without a reader. Nothing may print meanwhile.
        const int saved = ::dup(STDOUT_FILENO);
        ::dup2(ends[1], STDOUT_FILENO);
        ::close(ends[1]);
        rig::SpawnOptions options;
        options.pipe_stdout = false;
        options.umask = 022;
        options.without_capabilities = c.without_capabilities;
        rig::ChildProcess child;
        const rig::Status spawned = rig::spawn(mkprofile_command(c.args, options), options, child);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        ASSERT_OK(spawned) << c.what;
        EXPECT_EQ(rig::wait_exit(child, rig::deadline_in(std::chrono::seconds(60))), c.status) << c.what;
    }
    EXPECT_EQ(read_file(profile_of(p)), expected_content(p));
}

// What the run inherits from whoever starts it: a file-size limit of 0
// (`ulimit -f 0`), whichever way the file is made, or no standard output at
// all. The status tells the outcome, and a failed run leaves nothing behind.
TEST_F(ProfileCommand, WhatTheRunInheritsCostsNeitherItsStatusNorLeavesAHalfProfile)
{
    const std::string p = "/opt/inherited/run";
    const std::vector<std::string> no_file_size = {PRLIMIT, "--fsize=0", "--"};
    std::vector<std::string> exclusive
        = {"-P", profile_dir, "-P", profile_of(p), "-e", "inject=openat:error=EOPNOTSUPP:when=2"};
    exclusive.insert(exclusive.end(), no_file_size.begin(), no_file_size.end());
    const struct {
        const char* what;
        std::vector<std::string> strace_args; // a program that starts tv-mkprofile may end them
        int status;
    } cases[] = {
        {"no standard output", {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"}, 0},
        {"no room for a byte, in an unnamed file", no_file_size, 255},
        {"no room for a byte, created under its name", exclusive, 255},
    };
    // ThreadSanitizer's runtime writes a file of its own as the program
    // starts, which no file-size limit allows.
    const bool starts_under_the_limit = mkprofile({"--help"}, {}, no_file_size).status == 1;
    for (const auto& c : cases) {
        if (c.status != 0 && !starts_under_the_limit)
            continue;
        std::string trace;
        const auto r = mkprofile_traced(p, c.strace_args, trace);
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        if (c.status == 0) {
            EXPECT_EQ(r.out, "") << c.what;
            EXPECT_EQ(read_file(profile_of(p)), expected_content(p)) << c.what;
        } else {
            EXPECT_EQ(r.out, failed_line(p)) << c.what;
            EXPECT_NE(trace.find("EFBIG"), std::string::npos) << c.what << ": the limit was not met\n" << trace;
            EXPECT_TRUE(entries(profile_dir).empty()) << c.what;
        }
        fs::remove(profile_of(p));
    }
    if (!starts_under_the_limit)
        GTEST_SKIP() << "this build's runtime cannot start under a file-size limit: those cases were left out";
}

TEST_F(ProfileCommand, MissingDirectoryIsNotCreated)
{
    remove_profile_dir();
    const std::string p = "/usr/bin/app";
    const auto r = mkprofile({p});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, failed_line(p));
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(profile_dir));
    ASSERT_EQ(::mkdir(profile_dir.c_str(), 0755), 0);
    mount_profile_dir("mode=0755");
}

#ifdef ALLOCATION_FAILURE_PRELOAD
// Memory that runs out: for the digest's state (20 bytes) or its work buffer
// (16 KiB) there is no profile path to name, and the run says it could not
// create the profile; for the copy of a long path (its length and a NUL), or
// for the line that says the profile was created, it can say nothing at all.
// That line starts as another copy of the path and grows twice, by doubling
// its capacity. The status tells either way, and nothing is written.
TEST_F(ProfileCommand, MemoryThatRunsOutFailsTheRunAndWritesNothing)
{
    const std::string p = "/opt/app/a-program-with-a-long-name"; // 35 bytes
    const std::string no_digest = "warning: " + p + "'s profile  create failed. maybe you need run as root!\n";
    const struct {
        const char* what;
        const char* size;
        std::string out;
    } cases[] = {
        {"the digest's state", "20", no_digest},
        {"the digest's work buffer", "16384", no_digest},
        {"the created line as it grows", "71", ""},
        {"the created line as it grows again", "141", ""},
        {"the copy of the path", "36", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rig::SpawnOptions options;
        options.environment
            = {"LD_PRELOAD=" ALLOCATION_FAILURE_PRELOAD, std::string("TOLVANE_FAIL_ALLOCATION=") + c.size};
        const auto r = mkprofile({p}, options);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(entries(profile_dir).empty());
        fs::remove(profile_of(p));
    }
}
#endif

TEST_F(ProfileCommand, ConcurrentRunsForOnePathCreateExactlyOneProfile)
{
    const std::string p = "/opt/race/run";
    std::vector<CommandRun> runs;
    for (int i = 0; i < 40; ++i)
        runs.push_back(start_mkprofile({p}));
    int created = 0;
    int existing = 0;
    for (auto& run : runs) {
        const auto r = finish(run);
        EXPECT_EQ(r.err, "");
        if (r.status == 0 && r.out == created_line(p))
            ++created;
        else if (r.status == 254 && r.out == exists_line(p))
            ++existing;
        else
            ADD_FAILURE() << "status " << r.status << ": " << r.out;
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(existing, 39);
    EXPECT_EQ(entries(profile_dir), std::set<std::string>{md5_of(p)});
    EXPECT_EQ(read_file(profile_of(p)), expected_content(p));
}

// The creation step on its own, for what the program's earlier existence
// check hides: an entry appearing just before the create, and the fallback
// for file systems without unnamed files.
TEST_F(ProfileCommand, CreationNeverReplacesAnEntryThatAppearedMeanwhile)
{
    const std::string q = profile_dir + "/late";
    for (const auto method : {CreateMethod::unnamed_then_link, CreateMethod::exclusive}) {
        std::ofstream(q) << "theirs";
        EXPECT_EQ(create_profile(q, "ours"), CreateResult::exists);
        EXPECT_EQ(create_profile(q, "ours", method), CreateResult::exists);
        EXPECT_EQ(read_file(q), "theirs");
        fs::remove(q);

        fs::create_symlink(profile_dir + "/elsewhere", q);
        EXPECT_EQ(create_profile(q, "ours", method), CreateResult::exists);
        EXPECT_FALSE(fs::exists(profile_dir + "/elsewhere"));
        fs::remove(q);
    }
}

TEST_F(ProfileCommand, FailedWriteLeavesNoPartialProfileWithEitherMethod)
{
    mount_profile_dir("mode=0755,size=4k");
    std::ofstream(profile_dir + "/filler") << std::string(4000, 'x');
    const std::string big(8192, 'y');
    for (const auto method : {CreateMethod::unnamed_then_link, CreateMethod::exclusive}) {
        EXPECT_EQ(create_profile(profile_dir + "/p", big, method), CreateResult::failed);
        EXPECT_EQ(entries(profile_dir), std::set<std::string>{"filler"});
    }
    fs::remove(profile_dir + "/filler");
    EXPECT_EQ(create_profile(profile_dir + "/p", "done\n", CreateMethod::exclusive), CreateResult::created);
    EXPECT_EQ(read_file(profile_dir + "/p"), "done\n");
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (const auto available = sandbox::private_namespaces_available(); !available)
        return rig::run_all_tests(available.error);
    // The fixed directory lives under /etc: give this process an /etc of its
    // own whose changes land in a scratch directory.
    std::string scratch;
    if (const auto made = sandbox::make_temp_dir("mkprofile-test", scratch); !made) {
        std::fprintf(stderr, "cannot make a scratch directory: %s\n", made.error.c_str());
        return 1;
    }
    for (const auto& step : {sandbox::enter_private_namespaces(), sandbox::overlay_directory("/etc", scratch)}) {
        if (!step) {
            std::fprintf(stderr, "sandbox: %s\n", step.error.c_str());
            return 1;
        }
    }
    stderr_dir = scratch + "/stderr";
    if (::mkdir(stderr_dir.c_str(), 0700) != 0) {
        std::perror("mkdir stderr");
        return 1;
    }
    if (::mkdir(profile_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror("mkdir /etc/tolvane.d");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    (void)sandbox::unmount("/etc");
    sandbox::remove_tree(scratch);
    return result;
}
