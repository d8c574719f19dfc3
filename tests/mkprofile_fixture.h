// The generator's suites' fixture: each test gets an empty profile
// directory of its own, a fresh tmpfs.
#pragma once

#include "mkprofile/profile_directory.h"

#include <gtest/gtest.h>

#include <filesystem>

class FreshProfileDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        const rig::Status mounted = directory.mount("mode=0755");
        ASSERT_TRUE(mounted) << mounted;
    }
    rig::PrivateProfileDirectory directory;
};

// How many descriptors this process has open: the creation step, called
// here in-process, leaves none behind.
inline std::size_t open_descriptors()
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}
