// Runs that race: for one path, each other; and the creation step on its
// own, for what the program's earlier existence check hides: an entry that
// appears just before the create, and names left behind by killed runs.
#include "mkprofile/creation_paths.h"
#include "mkprofile/profile_directory.h"
#include "mkprofile/run.h"
#include "mkprofile/trace.h"
#include "mkprofile_expected.h"
#include "mkprofile_fixture.h"
#include "profile_writer.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace expected;
using rig::entries;
using rig::profile_dir;
using rig::read_file;

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
        EXPECT_EQ(read_file(profile_of(p)), content(p));
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
        EXPECT_EQ(read_file(q), "theirs");
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

// A killed run of this process id left its temporary names, whole or not:
// they stop no one and stay as they are until someone removes them.
TEST_F(ProfileRaces, TemporaryNamesLeftByKilledRunsStopNoOne)
{
    const std::string stem = profile_dir + "/.tv-mkprofile-" + std::to_string(::getpid()) + "-";
    std::set<std::string> left;
    for (int n = 0; n < 3; ++n) {
        std::ofstream(stem + std::to_string(n)) << std::string(static_cast<std::size_t>(n), 'x');
        left.insert(fs::path(stem + std::to_string(n)).filename());
    }
    fs::create_symlink(profile_dir + "/elsewhere", stem + "3");
    left.insert(fs::path(stem + "3").filename());
    for (const auto& name : left)
        EXPECT_TRUE(is_temporary_name(name)) << name;

    const std::string q = profile_dir + "/p";
    EXPECT_EQ(create_profile(q, "ours\n", CreateMethod::temporary_name), CreateResult::created);
    EXPECT_EQ(read_file(q), "ours\n");
    auto all = left;
    all.insert("p");
    EXPECT_EQ(entries(profile_dir), all);
    EXPECT_EQ(read_file(stem + "2"), "xx");
    EXPECT_FALSE(fs::exists(profile_dir + "/elsewhere"));

    // Only when every name the run may take is taken does it fail, and it
    // touches none of them.
    fs::remove(q);
    for (int n = 4; n < 1000; ++n)
        std::ofstream(stem + std::to_string(n)) << "theirs";
    EXPECT_EQ(create_profile(q, "ours\n", CreateMethod::temporary_name), CreateResult::failed);
    EXPECT_EQ(entries(profile_dir).size(), 1000u);
    EXPECT_EQ(read_file(stem + "999"), "theirs");
}

} // namespace
