// The generator's suites' fixture: each test gets an empty profile
// directory of its own, a fresh tmpfs.
#pragma once

#include "profile_directory.h"

#include <gtest/gtest.h>

class FreshProfileDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        const rig::Status mounted = directory.mount("mode=0755");
        ASSERT_TRUE(mounted) << mounted;
    }
    rig::PrivateProfileDirectory directory;
};
