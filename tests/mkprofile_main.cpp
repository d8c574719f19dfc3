// main() of the generator's suites: tv-mkprofile writes to the fixed
// /etc/tolvane.d, so this process gets an /etc of its own, in private
// namespaces entered before GoogleTest can start a thread, whose changes
// land in a scratch directory. Where the place refuses those (a build
// chroot, a mount refused), every test is skipped, saying why.
#include "mkprofile/profile_directory.h"
#include "mkprofile/run.h"
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
    if (const rig::Status available = rig::private_namespaces_available(); !available)
        return rig::run_all_tests(available.error);
    std::string scratch;
    rig::Status sandboxed = rig::make_temp_dir("mkprofile-test", scratch);
    if (sandboxed)
        sandboxed = rig::enter_private_namespaces();
    if (sandboxed)
        sandboxed = rig::overlay_directory("/etc", scratch);
    if (!sandboxed && sandboxed.unavailable_here) {
        rig::remove_tree(scratch);
        return rig::run_all_tests(sandboxed.error);
    }
    if (!sandboxed) {
        std::fprintf(stderr, "sandbox: %s\n", sandboxed.error.c_str());
        return 1;
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
    (void)rig::unmount("/etc");
    rig::remove_tree(scratch);
    return result;
}
