// What a rig call that can fail returns: success, or what failed. One
// meaning everywhere, and the compiler insists that it is looked at.
#pragma once

#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <utility>

namespace rig {

struct [[nodiscard]] Status {
    std::string error; // empty on success, else what failed

    static Status ok() { return {}; }
    static Status failed(std::string what) { return {std::move(what)}; }
    // What failed, and the errno it failed with; call it right after the
    // failing call, before anything can change errno.
    static Status failed_errno(const std::string& what)
    {
        const int error = errno;
        return {what + ": " + std::strerror(error)};
    }
    explicit operator bool() const noexcept { return error.empty(); }
};

// How a test shows it: `ASSERT_TRUE(status) << status;`
inline std::ostream& operator<<(std::ostream& out, const Status& status)
{
    return out << (status ? std::string("ok") : status.error);
}

} // namespace rig
