// tv-mkprofile as an administrator meets it: the real program, run against
// the fixed profile directory inside a private mount namespace.
#include "child_process.h"
#include "profile_writer.h"
#include "sandbox.h"

#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string profile_dir = "/etc/tolvane.d";
const std::string usage
    = "Usage: tv-mkprofile file_path\n\n for exmple: \n\tsudo tv-mkprofile /home/vel/Desktop/test.txt\n";

std::string md5_of(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 15];
    }
    return hex;
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

CommandRun start_mkprofile(const std::vector<std::string>& args, rig::SpawnOptions options = {})
{
    CommandRun run;
    run.stderr_path = stderr_dir + "/" + std::to_string(runs_started++);
    options.stderr_path = run.stderr_path;
    if (!options.umask)
        options.umask = 022;
    std::vector<std::string> argv{TV_MKPROFILE};
    argv.insert(argv.end(), args.begin(), args.end());
    EXPECT_EQ(rig::spawn(argv, options, run.process), "");
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

Outcome mkprofile(const std::vector<std::string>& args, const rig::SpawnOptions& options = {})
{
    CommandRun run = start_mkprofile(args, options);
    return finish(run);
}

// Each test gets an empty profile directory of its own: a fresh tmpfs.
class ProfileCommand : public ::testing::Test {
protected:
    void SetUp() override { mount_profile_dir("mode=0755"); }
    void TearDown() override
    {
        if (mounted_) {
            EXPECT_EQ(sandbox::unmount(profile_dir), "");
        }
    }
    void mount_profile_dir(const std::string& data, bool read_only = false)
    {
        if (mounted_) {
            ASSERT_EQ(sandbox::unmount(profile_dir), "");
        }
        ASSERT_EQ(sandbox::mount_tmpfs(profile_dir, data, read_only), "");
        mounted_ = true;
    }
    void remove_profile_dir()
    {
        ASSERT_EQ(sandbox::unmount(profile_dir), "");
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
    for (const auto& p : cases) {
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
        "/usr/bin/.",
        "/usr/bin/..",
        "/a",
        "/opt/my app/run",
        "/no/such/program",
        "/opt/\xc3\xa9t\xe9/run\t",
        "/" + std::string(4095, 'b'),
    };
    for (const auto& p : cases) {
        const auto r = mkprofile({p});
        EXPECT_EQ(r.status, 0) << p;
        EXPECT_EQ(r.out, created_line(p));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(read_file(profile_of(p)), expected_content(p));
    }
    EXPECT_EQ(entries(profile_dir).size(), cases.size());
    EXPECT_EQ(read_file(profile_of("/opt/app/run")).size(), 55u);
}

TEST_F(ProfileCommand, PermissionBitsAreReadWriteLessTheUmask)
{
    const struct {
        mode_t umask;
        mode_t mode;
    } cases[] = {{022, 0644}, {077, 0600}, {0, 0666}};
    for (const auto& c : cases) {
        const std::string p = "/opt/umask" + std::to_string(c.umask);
        rig::SpawnOptions options;
        options.umask = c.umask;
        ASSERT_EQ(mkprofile({p}, options).status, 0);
        struct stat st { };
        ASSERT_EQ(::lstat(profile_of(p).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.mode) << "umask " << std::oct << c.umask;
    }
}

TEST_F(ProfileCommand, SecondRunLeavesTheProfileUntouched)
{
    const std::string p = "/usr/bin/twice";
    ASSERT_EQ(mkprofile({p}).status, 0);
    struct stat before { };
    ASSERT_EQ(::stat(profile_of(p).c_str(), &before), 0);

    const auto r = mkprofile({p});
    EXPECT_EQ(r.status, 254);
    EXPECT_EQ(r.out, exists_line(p));
    EXPECT_EQ(r.err, "");
    struct stat after { };
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
    // The fixed directory lives under /etc: give this process an /etc of its
    // own whose changes land in a scratch directory.
    const std::string scratch = sandbox::make_temp_dir("mkprofile-test");
    if (scratch.empty()) {
        std::fprintf(stderr, "cannot make a scratch directory\n");
        return 1;
    }
    for (const auto& step : {sandbox::enter_private_namespaces(), sandbox::overlay_directory("/etc", scratch)}) {
        if (!step.empty()) {
            std::fprintf(stderr, "sandbox: %s\n", step.c_str());
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
    sandbox::unmount("/etc");
    sandbox::remove_tree(scratch);
    return result;
}
