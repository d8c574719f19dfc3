#include "plugin_paths.h"

#include "sandbox.h"

#include <sys/stat.h>

namespace rig {

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
