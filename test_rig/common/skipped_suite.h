// main() of a test binary whose suites need what a place may not offer
// (private namespaces, a dbus-daemon): there they are skipped, saying why,
// and never fail for that.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace rig {

// The status ctest takes for a skipped test (its SKIP_RETURN_CODE).
inline constexpr int skipped_suite_status = 77;

// Runs every test; when `why_not` is not empty, names each as skipped with
// that reason instead and returns skipped_suite_status. (A GTEST_SKIP in a
// global environment would have GoogleTest count them all as passed.) A run
// whose every test skipped itself (a suite of one test that needs what the
// place lacks) returns skipped_suite_status too.
inline int run_all_tests(const std::string& why_not)
{
    const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
    if (why_not.empty()) {
        const int status = RUN_ALL_TESTS();
        const bool all_skipped = unit.test_to_run_count() > 0 && unit.skipped_test_count() == unit.test_to_run_count();
        return status == 0 && all_skipped ? skipped_suite_status : status;
    }
    std::printf("[  SKIPPED ] all %d tests: %s\n", unit.total_test_count(), why_not.c_str());
    for (int i = 0; i < unit.total_test_suite_count(); ++i) {
        const testing::TestSuite& suite = *unit.GetTestSuite(i);
        for (int j = 0; j < suite.total_test_count(); ++j)
            std::printf("[  SKIPPED ] %s.%s\n", suite.name(), suite.GetTestInfo(j)->name());
    }
    std::fflush(stdout);
    return skipped_suite_status;
}

} // namespace rig
