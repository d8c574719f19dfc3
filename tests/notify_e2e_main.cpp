// main() of every end-to-end test binary: the sandbox is entered before
// GoogleTest (or anything else) can start a thread, since unshare() of a
// user namespace refuses a multi-threaded caller. Where the sandbox cannot
// be had (a build chroot), every test is skipped, saying why.
#include "notify_e2e/namespaces.h"
#include "skipped_suite.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    const rig::Status available = e2e::sandbox_available();
    if (available) {
        if (const auto s = e2e::enter_sandbox(); !s) {
            std::fprintf(stderr, "cannot set up the sandbox: %s\n", s.error.c_str());
            return 1;
        }
    }
    testing::InitGoogleTest(&argc, argv);
    return rig::run_all_tests(available.error);
}
