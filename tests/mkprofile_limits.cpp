// What a run inherits or runs out of: a file-size limit, no standard output,
// memory, a file system without room. The status tells the outcome, the line
// is a truthful one, and a failed run leaves nothing behind.
#include "file_text.h"
#include "mkprofile/creation_paths.h"
#include "mkprofile/profile_directory.h"
#include "mkprofile/trace.h"
#include "mkprofile_expected.h"
#include "mkprofile_fixture.h"
#include "profile_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace expected;
using rig::entries;
using rig::file_text;
using rig::profile_dir;

namespace {

using ProfileLimits = FreshProfileDirectory;

// A file-size limit of 0 (`ulimit -S -f 0`), whichever way the file is made,
// or no standard output at all. The hard limit stays, so that a coverage
// build can still write its counters as the run exits.
TEST_F(ProfileLimits, WhatTheRunInheritsCostsNeitherItsStatusNorLeavesAHalfProfile)
{
    const std::string p = "/opt/inherited/run";
    const std::vector<std::string> no_file_size = {PRLIMIT, "--fsize=0:unlimited", "--"};
    // prlimit's own calls count: the counts come from runs through a prlimit
    // that makes the same calls with no limit.
    std::vector<std::string> errors;
    const auto along = [&](rig::Creation creation) {
        std::vector<std::string> args;
        const rig::Status made = rig::strace_args_for(creation, p, {}, {}, args, {PRLIMIT, "--fsize=unlimited", "--"});
        if (!made)
            errors.push_back(made.error);
        args.insert(args.end(), no_file_size.begin(), no_file_size.end());
        return args;
    };
    const struct {
        const char* what;
        std::vector<std::string> strace_args; // a program that starts tv-mkprofile may end them
        int status;
    } cases[] = {
        {"no standard output", {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"}, 0},
        {"no room for a byte, in an unnamed file", no_file_size, 255},
        {"no room for a byte, under a temporary name", along(rig::Creation::renamed), 255},
        {"no room for a byte, created under its name", along(rig::Creation::exclusive), 255},
    };
    EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    // ThreadSanitizer's runtime writes a file of its own as the program
    // starts, which no file-size limit allows.
    const bool starts_under_the_limit = rig::run_mkprofile({"--help"}, {}, no_file_size).status == 1;
    for (const auto& c : cases) {
        if (c.status != 0 && !starts_under_the_limit)
            continue;
        SCOPED_TRACE(c.what);
        const auto r = rig::run_mkprofile_traced({p}, c.strace_args);
        EXPECT_EQ(r.outcome.status, c.status);
        EXPECT_EQ(r.outcome.err, "");
        if (c.status == 0) {
            EXPECT_EQ(r.outcome.out, "");
            EXPECT_EQ(file_text(profile_of(p)), content(p));
        } else {
            EXPECT_EQ(r.outcome.out, failed_line(p));
            EXPECT_NE(r.trace.find("EFBIG"), std::string::npos) << "the limit was not met\n" << r.trace;
            EXPECT_TRUE(entries(profile_dir).empty());
        }
        fs::remove(profile_of(p));
    }
    if (!starts_under_the_limit)
        GTEST_SKIP() << "this build's runtime cannot start under a file-size limit: those cases were left out";
}

TEST_F(ProfileLimits, FailedWriteLeavesNoPartialProfileWithAnyMethod)
{
    ASSERT_TRUE(directory.mount("mode=0755,size=4k"));
    std::ofstream(profile_dir + "/filler") << std::string(4000, 'x');
    const std::string big(8192, 'y');
    const std::size_t descriptors = open_descriptors();
    for (const auto method : {CreateMethod::unnamed_then_link, CreateMethod::temporary_name, CreateMethod::exclusive}) {
        SCOPED_TRACE(static_cast<int>(method));
        EXPECT_EQ(create_profile(profile_dir + "/p", big, method), CreateResult::failed);
        EXPECT_EQ(entries(profile_dir), std::set<std::string>{"filler"});
    }
    fs::remove(profile_dir + "/filler");
    EXPECT_EQ(create_profile(profile_dir + "/p", "done\n", CreateMethod::exclusive), CreateResult::created);
    EXPECT_EQ(file_text(profile_dir + "/p"), "done\n");
    EXPECT_EQ(open_descriptors(), descriptors);
}

#ifdef ALLOCATION_FAILURE_PRELOAD
// Memory that runs out at each allocation the run makes in turn, until a run
// makes no more than were failed. For the digest's two (its work buffer and
// its state) there is no profile path to name, and the run says it could
// not create the profile; for any other (the copy of the path, the lines,
// the temporary name) it can say nothing at all. The status tells either
// way, and nothing is written: on a file system without unnamed files too.
TEST_F(ProfileLimits, MemoryThatRunsOutFailsTheRunAndWritesNothing)
{
    const std::string p = "/opt/app/a-program-with-a-long-name"; // longer than a string holds in place
    for (const bool unnamed_files : {true, false}) {
        SCOPED_TRACE(unnamed_files ? "unnamed files" : "no unnamed files");
        const std::string refuse = std::string("TOLVANE_REFUSE_UNNAMED_FILES=") + (unnamed_files ? "0" : "1");
        // The run takes the way the file system leaves it.
        const auto path = rig::run_mkprofile_traced({p}, {}, {"LD_PRELOAD=" ALLOCATION_FAILURE_PRELOAD, refuse});
        EXPECT_EQ(path.outcome.status, 0);
        EXPECT_EQ(rig::succeeded(path.trace, {"renameat2", "RENAME_NOREPLACE"}), !unnamed_files) << path.trace;
        fs::remove(profile_of(p));
        int silent = 0;
        int without_digest = 0;
        int n = 1;
        rig::MkprofileOutcome r;
        for (;; ++n) {
            rig::SpawnOptions options;
            options.environment
                = {"LD_PRELOAD=" ALLOCATION_FAILURE_PRELOAD, "TOLVANE_FAIL_ALLOCATION=" + std::to_string(n), refuse};
            r = rig::run_mkprofile({p}, options);
            if (r.status == 0 || n > 200)
                break;
            SCOPED_TRACE("allocation " + std::to_string(n));
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.err, "");
            if (r.out.empty())
                ++silent;
            else if (r.out == failed_line_without_digest(p))
                ++without_digest;
            else
                ADD_FAILURE() << "a line that is not the truth: " << r.out;
            EXPECT_TRUE(entries(profile_dir).empty());
            // The copy of the path comes first.
            if (n == 1) {
                EXPECT_EQ(r.out, "");
            }
        }
        EXPECT_LE(n, 200) << "a run never got through";
        EXPECT_EQ(without_digest, 2);
        EXPECT_GE(silent, 3);
        // Past the last allocation the run is whole.
        EXPECT_EQ(r.out, created_line(p));
        EXPECT_EQ(file_text(profile_of(p)), content(p));
        for (const auto& name : entries(profile_dir))
            fs::remove(profile_dir + "/" + name);
    }
}
#endif

} // namespace
