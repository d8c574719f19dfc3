// main() of every end-to-end test binary: the sandbox is entered before
// GoogleTest (or anything else) can start a thread, since unshare() of a
// user namespace refuses a multi-threaded caller. Where the place cannot
// host the sandbox (a build chroot without /sys, a namespace or a mount
// refused), every test is skipped, saying why; a sandbox that fails for
// anything else fails the suite.
#include "notify_e2e/namespaces.h"
#include "skipped_suite.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    rig::Status sandbox = e2e::sandbox_available();
    if (sandbox)
        sandbox = e2e::enter_sandbox();
    if (!sandbox && !sandbox.unavailable_here) {
        std::fprintf(stderr, "cannot set up the sandbox: %s\n", sandbox.error.c_str());
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return rig::run_all_tests(sandbox.error);
}
