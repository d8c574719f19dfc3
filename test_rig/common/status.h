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
    // The place lacks what was asked (a chroot without /sys, a kernel or
    // profile that refuses a namespace or a mount), rather than the code
    // failing: a suite skips for it.
    bool unavailable_here = false;

    static Status ok() { return {}; }
    static Status failed(std::string what) { return {std::move(what)}; }
    static Status unavailable(std::string why) { return {std::move(why), true}; }
    // What failed, and the errno it failed with; call it right after the
    // failing call, before anything can change errno.
    static Status failed_errno(const std::string& what)
    {
        const int error = errno;
        return {what + ": " + std::strerror(error)};
    }
    // The same for a call that a place may refuse to an unprivileged or
    // confined process (a mount, say): EPERM and EACCES are the place's.
    static Status refused_errno(const std::string& what)
    {
        const int error = errno;
        return {what + ": " + std::strerror(error), error == EPERM || error == EACCES};
    }
    explicit operator bool() const noexcept { return error.empty(); }
};

// How a test shows it: `ASSERT_TRUE(status) << status;`
inline std::ostream& operator<<(std::ostream& out, const Status& status)
{
    return out << (status ? std::string("ok") : status.error);
}

} // namespace rig
