// The rows of a table of cases, each run under its name: a row whose ASSERT
// fails ends there, the failure names it, and the rows after it still run.
#pragma once

#include <gtest/gtest.h>

namespace rig {

// `row` takes one case, which has a `name`.
template <typename Cases, typename Row>
void for_each_row(const Cases& cases, Row row)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        row(c);
    }
}

} // namespace rig
