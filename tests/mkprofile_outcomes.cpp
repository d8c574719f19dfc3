// tv-mkprofile's outcomes as an administrator meets them: the real program,
// run against the fixed profile directory inside a private mount namespace,
// each outcome with its line, its status and what it leaves on disk.
#include "file_text.h"
#include "mkprofile/creation_paths.h"
#include "mkprofile/file_system_shim.h"
#include "mkprofile/profile_directory.h"
#include "mkprofile/run.h"
#include "mkprofile_expected.h"
#include "mkprofile_fixture.h"
#include "profile_path.h"
#include "profile_writer.h"
#include "status_assertion.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace expected;
using rig::entries;
using rig::file_text;
using rig::profile_dir;

namespace {

using ProfileCommand = FreshProfileDirectory;

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
        SCOPED_TRACE(::testing::PrintToString(args));
        const auto r = rig::run_mkprofile(args);
        EXPECT_EQ(r.status, 1);
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
        SCOPED_TRACE(p.substr(0, 40));
        EXPECT_EQ(check_file_path(p.c_str()), -1);
        const auto r = rig::run_mkprofile({p});
        EXPECT_EQ(r.status, 255);
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
        SCOPED_TRACE(p.substr(0, 40));
        EXPECT_EQ(check_file_path(p.c_str()), 0);
        const auto r = rig::run_mkprofile({p});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, created_line(p));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(file_text(profile_of(p)), content(p));
    }
    EXPECT_EQ(entries(profile_dir).size(), cases.size());
    EXPECT_EQ(file_text(profile_of("/opt/app/run")).size(), 55u);
    // One name as md5sum gives it.
    EXPECT_EQ(file_text(profile_dir + "/66c5f0514ffae06c0202d826479b08b2"), content("/opt/editor/bin/editor"));
}

// Never more than 0644: a root-owned profile stays unwritable to others even
// when the command runs with umask 0, whichever way the file is made.
TEST_F(ProfileCommand, PermissionBitsAreReadWriteForTheOwnerOnlyLessTheUmask)
{
    const struct {
        mode_t umask;
        mode_t mode;
    } cases[] = {{0, 0644}, {002, 0644}, {022, 0644}, {027, 0640}, {077, 0600}, {0266, 0400}};
    const auto mode_of = [](const std::string& path) -> mode_t {
        struct stat st = {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return 0;
        return st.st_mode & 07777;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("umask " + std::to_string(c.umask));
        const std::string p = "/opt/umask" + std::to_string(c.umask);
        rig::SpawnOptions options;
        options.umask = c.umask;
        EXPECT_EQ(rig::run_mkprofile({p}, options).status, 0);
        EXPECT_EQ(mode_of(profile_of(p)), c.mode) << std::oct << c.mode;

        // The fallbacks for file systems without unnamed files.
        for (const auto method : {CreateMethod::temporary_name, CreateMethod::exclusive}) {
            const std::string q
                = profile_dir + "/method" + std::to_string(static_cast<int>(method)) + "-" + std::to_string(c.umask);
            const mode_t previous = ::umask(c.umask);
            EXPECT_EQ(create_profile(q, "x\n", method), CreateResult::created);
            ::umask(previous);
            EXPECT_EQ(mode_of(q), c.mode) << "method " << static_cast<int>(method);
        }
    }
}

// Without the kernel's random numbers (before 3.17, or its pool not ready at
// early boot), the clock and the process id name the temporary.
TEST_F(ProfileCommand, WithoutRandomNumbersATemporaryNameStillCreates)
{
    if (const std::string missing = rig::file_system_shim_missing(); !missing.empty())
        GTEST_SKIP() << missing;
    const std::string p = "/opt/early/boot";
    rig::SpawnOptions options;
    options.environment = rig::file_system_shim({rig::lacking({"unnamed", "random"})});
    const auto r = rig::run_mkprofile({p}, options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, created_line(p));
    EXPECT_EQ(file_text(profile_of(p)), content(p));
    EXPECT_EQ(entries(profile_dir), std::set<std::string>{md5_of(p)});
}

// A path without a directory part names an entry of the working directory.
TEST_F(ProfileCommand, ABareNameIsCreatedInTheWorkingDirectoryByEveryMethod)
{
    const fs::path previous = fs::current_path();
    fs::current_path(profile_dir);
    for (const auto method : {CreateMethod::unnamed_then_link, CreateMethod::temporary_name, CreateMethod::exclusive}) {
        const std::string name = "bare" + std::to_string(static_cast<int>(method));
        EXPECT_EQ(create_profile(name, "x\n", method), CreateResult::created) << name;
        EXPECT_EQ(file_text(profile_dir + "/" + name), "x\n");
    }
    fs::current_path(previous);
}

TEST_F(ProfileCommand, SecondRunLeavesTheProfileUntouched)
{
    const std::string p = "/usr/bin/twice";
    ASSERT_EQ(rig::run_mkprofile({p}).status, 0);
    struct stat before = {};
    ASSERT_EQ(::stat(profile_of(p).c_str(), &before), 0);

    const auto r = rig::run_mkprofile({p});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, exists_line(p));
    EXPECT_EQ(r.err, "");
    struct stat after = {};
    ASSERT_EQ(::stat(profile_of(p).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(file_text(profile_of(p)), content(p));
}

TEST_F(ProfileCommand, AnyEntryAtTheProfilePathCountsAsExisting)
{
    const std::string target = "/tmp/tolvane-link-target-" + std::to_string(::getpid());
    const struct {
        const char* program;
        std::function<void(const std::string& q)> make;
    } cases[] = {
        {"/opt/dir", [](const std::string& q) { fs::create_directory(q); }},
        // Even a dangling link must not be followed to create a file elsewhere.
        {"/opt/dangling", [&](const std::string& q) { fs::create_symlink(target, q); }},
        {"/opt/linked",
            [](const std::string& q) {
                std::ofstream(profile_dir + "/victim") << "keep";
                fs::create_symlink(profile_dir + "/victim", q);
            }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        c.make(profile_of(c.program));
        const auto r = rig::run_mkprofile({c.program});
        EXPECT_EQ(r.status, 254);
        EXPECT_EQ(r.out, exists_line(c.program));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(file_text(profile_dir + "/victim"), "keep");
}

TEST_F(ProfileCommand, UnwritableOrMissingDirectoryReportsCreateFailedAndLeavesNothing)
{
    const std::string p = "/usr/bin/app";
    const struct {
        const char* what;
        std::function<rig::Status()> prepare;
    } cases[] = {
        {"read-only", [this] { return directory.mount("mode=0755", true); }},
        {"no permission", [this] { return directory.mount("mode=0555"); }},
        // One page of space, already taken: the file can be made but not filled.
        {"full",
            [this] {
                rig::Status s = directory.mount("mode=0755,size=4k");
                std::ofstream(profile_dir + "/filler") << std::string(4096, 'x');
                return s;
            }},
        // The directory is never created.
        {"missing", [this] { return directory.remove(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const rig::Status prepared = c.prepare();
        EXPECT_TRUE(prepared) << prepared;
        const auto before = entries(profile_dir);
        rig::SpawnOptions options;
        options.without_capabilities = true;
        const auto r = rig::run_mkprofile({p}, options);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, failed_line(p));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(entries(profile_dir), before);
    }
    EXPECT_FALSE(fs::exists(profile_dir));
}

// "created!" comes only once the profile and its name are on disk, along
// every way of creating it: the content synced, then named, then the
// directory synced; a temporary name goes only after that.
TEST_F(ProfileCommand, CreatedIsPrintedOnlyOnceTheProfileAndItsNameAreOnDisk)
{
    const std::string p = "/opt/durable/run";
    using rig::Step;
    const struct {
        const char* what;
        rig::Creation creation;
        std::vector<Step> steps;
    } cases[] = {
        {"unnamed", rig::Creation::unnamed, {Step::write, Step::sync_file, Step::link_unnamed, Step::sync_directory}},
        {"renamed", rig::Creation::renamed,
            {Step::make_temporary, Step::write, Step::sync_file, Step::rename, Step::sync_directory}},
        {"linked", rig::Creation::linked,
            {Step::make_temporary, Step::write, Step::sync_file, Step::link, Step::sync_directory,
                Step::remove_temporary}},
        // The temporary name goes before the profile's own is made.
        {"exclusive", rig::Creation::exclusive,
            {Step::make_temporary, Step::remove_temporary, Step::create_exclusive, Step::write, Step::sync_file,
                Step::close_file, Step::sync_directory}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args;
        const rig::Status made = rig::strace_args_for(c.creation, p, {}, {}, args);
        if (!made) {
            ADD_FAILURE() << made;
            continue;
        }
        const auto r = rig::run_mkprofile_traced({p}, args);
        EXPECT_EQ(r.outcome.status, 0);
        EXPECT_EQ(r.outcome.out, created_line(p));
        EXPECT_EQ(entries(profile_dir), std::set<std::string>{md5_of(p)});
        std::vector<rig::TracedCall> order;
        for (const auto step : c.steps)
            order.push_back(rig::call_of(step, c.creation, p));
        order.push_back({"write", " created!\\n\", "});
        long previous = -1;
        for (const auto& call : order) {
            const long at = rig::position(r.trace, call);
            EXPECT_GT(at, previous) << call.name << "(..." << call.part << "...) out of order or missing in\n"
                                    << r.trace;
            previous = at;
        }
        const auto removal = rig::call_of(Step::remove_temporary, c.creation, p);
        if (std::find(c.steps.begin(), c.steps.end(), Step::remove_temporary) == c.steps.end()) {
            EXPECT_EQ(rig::position(r.trace, removal), -1) << r.trace;
        }
        fs::remove(profile_of(p));
    }
}

// A reader that has gone (`tv-mkprofile P | true`): the line cannot be
// written, and the status still tells the outcome. The program starts as
// from a shell, with SIGPIPE at its default and unblocked.
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        int ends[2];
        if (::pipe(ends) != 0) {
            ADD_FAILURE() << "no pipe: " << std::strerror(errno);
            continue;
        }
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
        const rig::Status spawned = rig::spawn(rig::mkprofile_command(c.args, options), options, child);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
        EXPECT_OK(spawned);
        EXPECT_EQ(rig::wait_exit(child, rig::deadline_in(std::chrono::seconds(60))), c.status);
    }
    EXPECT_EQ(file_text(profile_of(p)), content(p));
}

} // namespace
