// A rig status as GoogleTest's assertion result, for the suites (the rig's
// programs do not link GoogleTest): ASSERT_OK(start_rig(rig)) fails with
// what failed.
#pragma once

#include "status.h"

#include <gtest/gtest.h>

namespace rig {

inline testing::AssertionResult succeeded(const Status& status)
{
    if (status)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << status.error;
}

} // namespace rig

#define ASSERT_OK(status) ASSERT_TRUE(::rig::succeeded(status))
#define EXPECT_OK(status) EXPECT_TRUE(::rig::succeeded(status))
