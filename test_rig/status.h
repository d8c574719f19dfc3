// What a rig call that can fail returns: success, or what failed. One
// meaning everywhere, and the compiler insists that it is looked at.
#pragma once

#include <ostream>
#include <string>
#include <utility>

namespace rig {

struct [[nodiscard]] Status {
    std::string error; // empty on success, else what failed

    static Status ok() { return {}; }
    static Status failed(std::string what) { return {std::move(what)}; }
    explicit operator bool() const noexcept { return error.empty(); }
};

// How a test shows it: `ASSERT_TRUE(status) << status;`
inline std::ostream& operator<<(std::ostream& out, const Status& status)
{
    return out << (status ? std::string("ok") : status.error);
}

} // namespace rig
