#include "plugin_paths.h"

#include "sandbox.h"

#include <linux/magic.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace rig {

Status plugin_paths_available()
{
    std::error_code ec;
    if (!std::filesystem::is_directory("/sys", ec))
        return Status::unavailable("there is no /sys, so no /sys/kernel/security to make private (a chroot)");
    if (rig::file_system_type("/sys") != SYSFS_MAGIC)
        return Status::unavailable(
            "/sys is not a sysfs, so there is no /sys/kernel/security to make private (a chroot without /sys)");
    if (!std::filesystem::is_directory("/sys/kernel/security", ec))
        return Status::unavailable(
            "there is no /sys/kernel/security to make private (a kernel without securityfs, or a /sys without it)");
    return Status::ok();
}

Status make_plugin_paths_private(const std::string& scratch)
{
    if (auto s = private_dev(scratch); !s)
        return s;
    for (const char* dir : {"/run", "/sys/kernel/security"})
        if (auto s = mount_tmpfs(dir, "mode=0755"); !s)
            return s;
    if (::mkdir("/sys/kernel/security/tolvane", 0755) != 0)
        return Status::failed_errno("mkdir /sys/kernel/security/tolvane");
    return Status::ok();
}

} // namespace rig
