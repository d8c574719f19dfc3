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
#include <sys/file.h>
#include <unistd.h>

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
