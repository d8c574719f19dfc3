#include "plugin_paths.h"

#include "sandbox.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace rig {

std::string make_plugin_paths_private(const std::string& scratch)
{
    if (auto e = sandbox::private_dev(scratch); !e.empty())
        return e;
    for (const char* dir : {"/run", "/sys/kernel/security"})
        if (auto e = sandbox::mount_tmpfs(dir, "mode=0755"); !e.empty())
            return e;
    if (::mkdir("/sys/kernel/security/tolvane", 0755) != 0)
        return std::string("mkdir /sys/kernel/security/tolvane: ") + std::strerror(errno);
    return {};
}

} // namespace rig
