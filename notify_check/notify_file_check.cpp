#include "checks.h"
#include "error_text.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string user_name()
{
    const uid_t uid = ::getuid();
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return "uid " + std::to_string(uid);
}

// What the plug-in cannot read records from, whatever the permissions say:
// a directory opens, but every read of it fails; a socket does not open.
const char* unreadable_kind(mode_t mode)
{
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISSOCK(mode))
        return "a socket";
    return nullptr;
}

} // namespace

CheckResult check_notify_file(const char* path)
{
    const std::string file = path;
    struct stat status = {};
    if (::stat(path, &status) != 0) {
        const int error = errno;
        if (error == ENOENT)
            return {Verdict::fail, "notification file",
                file
                    + " does not exist; load the tolvane kernel module, with securityfs mounted on "
                      "/sys/kernel/security"};
        return {Verdict::fail, "notification file",
            file + ": " + error_text(error) + "; check that the tolvane kernel module is loaded"};
    }
    if (const char* kind = unreadable_kind(status.st_mode))
        return {Verdict::fail, "notification file",
            file + " is " + kind
                + ", from which the plug-in cannot read records; check that the tolvane kernel module is loaded"};
    // access() answers for the real user, who runs this check as the host would.
    if (::access(path, R_OK) != 0) {
        const int error = errno;
        return {Verdict::fail, "notification file",
            file + " is not readable by " + user_name() + ": " + error_text(error)
                + "; run this check as the user the host runs as, and let that user read the file"};
    }
    return {Verdict::ok, "notification file", file + " exists and " + user_name() + " may read it"};
}
