// What every end-to-end test is built on: the rig's calls, ASSERT_OK for
// their status, and a fixture that fails a test whose hosts wrote anything
// on standard error.
#pragma once

#include "notify_e2e/calls.h"
#include "notify_e2e/host.h"
#include "notify_e2e/logind.h"
#include "notify_e2e/namespaces.h"
#include "notify_e2e/proc_probe.h"
#include "notify_e2e/records.h"
#include "notify_e2e/rig.h"
#include "notify_e2e/subscribed.h"
#include "notify_e2e/syslog.h"
#include "status_assertion.h"
#include "table_rows.h"

#include <gtest/gtest.h>

namespace e2e {

// What the hosts of every rig ended so far wrote on standard error; a
// table calls it after each row, so that the row is named.
inline testing::AssertionResult hosts_wrote_no_stderr()
{
    const auto texts = take_host_stderr();
    if (texts.empty())
        return testing::AssertionSuccess();
    auto failure = testing::AssertionFailure() << "on the standard error of a host:";
    for (const auto& text : texts)
        failure << "\n" << text;
    return failure;
}

// The rows of a table, as rig::for_each_row runs them; after each row, what
// its hosts wrote on standard error fails that row.
template <typename Cases, typename Row>
void for_each_row(const Cases& cases, Row row)
{
    rig::for_each_row(cases, [&](const auto& c) {
        row(c);
        EXPECT_TRUE(hosts_wrote_no_stderr());
    });
}

class RigTest : public testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(hosts_wrote_no_stderr()); }
};

} // namespace e2e
