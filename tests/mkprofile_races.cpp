// Runs that race: for one path, each other; and the creation step on its
// own, for what the program's earlier existence check hides: an entry that
// appears just before the create, and names left behind by killed runs.
#include "file_text.h"
#include "mkprofile/creation_paths.h"
#include "mkprofile/profile_directory.h"
#include "mkprofile/run.h"
#include "mkprofile/trace.h"
#include "mkprofile_expected.h"
#include "mkprofile_fixture.h"
#include "profile_writer.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace expected;
using rig::entries;
using rig::file_text;
using rig::profile_dir;

extern "C" void __gcov_dump() __attribute__((weak)); // a coverage build's runtime

namespace {

using ProfileRaces = FreshProfileDirectory;

TEST_F(ProfileRaces, ConcurrentRunsForOnePathCreateExactlyOneProfileWhicheverWayTheyMakeIt)
{
    const std::string p = "/opt/race/run";
    const struct {
        const char* what;
        bool traced;
        rig::Creation creation;
        int runs;
    } cases[] = {
        {"unnamed, at full speed", false, rig::Creation::unnamed, 40},
        {"renamed", true, rig::Creation::renamed, 12},
        {"linked", true, rig::Creation::linked, 12},
        {"exclusive", true, rig::Creation::exclusive, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> wrapper;
        if (c.traced) {
            std::vector<std::string> args;
            const rig::Status made = rig::strace_args_for(c.creation, p, {}, {}, args);
            if (!made) {
                ADD_FAILURE() << made;
                continue;
            }
            wrapper = {STRACE, "-o", "/dev/null"};
            wrapper.insert(wrapper.end(), args.begin(), args.end());
        }
        std::vector<rig::MkprofileRun> runs(c.runs);
        for (auto& run : runs) {
            const rig::Status started
                = rig::start_mkprofile({p}, c.traced ? rig::options_under_ptrace() : rig::SpawnOptions{}, wrapper, run);
            EXPECT_TRUE(started) << started;
        }
        int created = 0;
        int existing = 0;
        for (auto& run : runs) {
            const auto r = rig::finish_mkprofile(run);
            EXPECT_EQ(r.err, "");
            if (r.status == 0 && r.out == created_line(p))
                ++created;
            else if (r.status == 254 && r.out == exists_line(p))
                ++existing;
            else
                ADD_FAILURE() << "status " << r.status << ": " << r.out;
        }
        EXPECT_EQ(created, 1);
        EXPECT_EQ(existing, c.runs - 1);
        EXPECT_EQ(entries(profile_dir), std::set<std::string>{md5_of(p)});
        EXPECT_EQ(file_text(profile_of(p)), content(p));
        fs::remove(profile_of(p));
    }
}

TEST_F(ProfileRaces, CreationNeverReplacesAnEntryThatAppearedMeanwhile)
{
    const std::string q = profile_dir + "/late";
    const std::size_t descriptors = open_descriptors();
    for (const auto method : {CreateMethod::unnamed_then_link, CreateMethod::temporary_name, CreateMethod::exclusive}) {
        SCOPED_TRACE(static_cast<int>(method));
        std::ofstream(q) << "theirs";
        EXPECT_EQ(create_profile(q, "ours"), CreateResult::exists);
        EXPECT_EQ(create_profile(q, "ours", method), CreateResult::exists);
        EXPECT_EQ(file_text(q), "theirs");
        fs::remove(q);

        fs::create_symlink(profile_dir + "/elsewhere", q);
        EXPECT_EQ(create_profile(q, "ours", method), CreateResult::exists);
        EXPECT_FALSE(fs::exists(profile_dir + "/elsewhere"));
        fs::remove(q);
        // Nothing of the attempts stays.
        EXPECT_TRUE(entries(profile_dir).empty());
    }
    EXPECT_EQ(open_descriptors(), descriptors);
}

// Where the kernel refuses to link by descriptor, the unnamed file is linked
// through /proc: that link, too, never replaces an entry that appeared
// meanwhile. The refusal is a seccomp filter in a child of the test's own.
TEST_F(ProfileRaces, TheLinkThroughProcNeverReplacesAnEntryThatAppearedMeanwhile)
{
    const std::string q = profile_dir + "/late";
    std::ofstream(q) << "theirs";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // linkat(2) with AT_EMPTY_PATH in its flags answers ENOENT, as
        // kernels before 6.10 do without CAP_DAC_READ_SEARCH.
        sock_filter refuse_by_descriptor[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_linkat, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, AT_EMPTY_PATH, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOENT),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        const sock_fprog program{std::size(refuse_by_descriptor), refuse_by_descriptor};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0
            || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(3);
        const bool refused = create_profile(q, "ours", CreateMethod::unnamed_then_link) == CreateResult::exists;
        const bool created
            = create_profile(profile_dir + "/new", "ours", CreateMethod::unnamed_then_link) == CreateResult::created;
        // _exit skips what a coverage build writes its counters with.
        if (__gcov_dump != nullptr)
            __gcov_dump();
        ::_exit(refused && created ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 3)
        GTEST_SKIP() << "no seccomp filter can be set here (an emulator's, or a container's refusal)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(file_text(q), "theirs");
    EXPECT_EQ(file_text(profile_dir + "/new"), "ours");
    EXPECT_EQ(entries(profile_dir), (std::set<std::string>{"late", "new"}));
}

// Temporaries that killed runs left, of this version and of earlier ones
// (every .tv-mkprofile-PID-N that a run with this process id could take, as
// when each run is PID 1 of a container): the next run on a temporary name
// removes them. One that a live run holds (its lock), and entries that no run
// makes, stay.
TEST_F(ProfileRaces, TemporariesOfKilledRunsAreRemovedButNotALiveRunsOne)
{
    const std::string stem = profile_dir + "/.tv-mkprofile-" + std::to_string(::getpid()) + "-";
    for (int n = 0; n < 1000; ++n)
        std::ofstream(stem + std::to_string(n)) << std::string(static_cast<std::size_t>(n % 3), 'x');
    std::ofstream(profile_dir + "/.tv-mkprofile-0123456789abcdef") << "half";
    const std::string live = ".tv-mkprofile-fedcba9876543210";
    std::ofstream(profile_dir + "/" + live) << "being written";
    rig::unique_fd held(::open((profile_dir + "/" + live).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(held);
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    fs::create_symlink(profile_dir + "/elsewhere", profile_dir + "/.tv-mkprofile-link");
    fs::create_directory(profile_dir + "/.tv-mkprofile-directory");
    const std::set<std::string> not_stale = {".tv-mkprofile-link", ".tv-mkprofile-directory"};

    const std::string q = profile_dir + "/p";
    EXPECT_EQ(create_profile(q, "ours\n", CreateMethod::temporary_name), CreateResult::created);
    EXPECT_EQ(file_text(q), "ours\n");
    auto left = not_stale;
    left.insert({"p", live});
    EXPECT_EQ(entries(profile_dir), left);
    EXPECT_EQ(file_text(profile_dir + "/" + live), "being written");
    EXPECT_FALSE(fs::exists(profile_dir + "/elsewhere"));

    // Once its run is gone, it is stale too.
    held.reset();
    fs::remove(q);
    EXPECT_EQ(create_profile(q, "ours\n", CreateMethod::temporary_name), CreateResult::created);
    left = not_stale;
    left.insert("p");
    EXPECT_EQ(entries(profile_dir), left);
}

} // namespace
