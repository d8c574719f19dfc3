// main() of every end-to-end test binary: the sandbox is entered before
// GoogleTest (or anything else) can start a thread, since unshare() of a
// user namespace refuses a multi-threaded caller.
#include "notify_e2e_rig.h"

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (const auto e = e2e::enter_sandbox(); !e.empty()) {
        std::fprintf(stderr, "cannot set up the sandbox: %s\n", e.c_str());
        return 1;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
