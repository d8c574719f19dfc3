// main() of the generator's suites: tv-mkprofile writes to the fixed
// /etc/tolvane.d, so this process gets an /etc of its own, in private
// namespaces entered before GoogleTest can start a thread, whose changes
// land in a scratch directory. Where those cannot be had (a build chroot),
// every test is skipped, saying why.
#include "mkprofile_run.h"
#include "profile_directory.h"
#include "sandbox.h"
#include "skipped_suite.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (const auto why_not = sandbox::private_namespaces_missing(); !why_not.empty())
        return rig::run_all_tests(why_not);
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
    const std::string runs = scratch + "/runs";
    if (::mkdir(runs.c_str(), 0700) != 0) {
        std::perror("mkdir runs");
        return 1;
    }
    rig::set_mkprofile_scratch(runs);
    if (::mkdir(rig::profile_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror("mkdir /etc/tolvane.d");
        return 1;
    }
    // A run that a test ends with SIGQUIT leaves no core file behind.
    const rlimit no_core{0, 0};
    if (::setrlimit(RLIMIT_CORE, &no_core) != 0) {
        std::perror("setrlimit");
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    sandbox::unmount("/etc");
    sandbox::remove_tree(scratch);
    return result;
}
