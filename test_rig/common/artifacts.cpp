#include "artifacts.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

namespace rig {

std::string artifact(const char* variable, const char* built)
{
    const char* given = std::getenv(variable);
    const bool from_environment = given != nullptr && *given != '\0';
    std::string path = from_environment ? given : built;
    static std::mutex announced_lock;
    static std::set<std::string> announced;
    const std::lock_guard lock(announced_lock);
    if (announced.insert(variable).second) {
        std::printf("artifact %s: %s (%s)\n", variable, path.c_str(),
            from_environment ? "from the environment" : "the build tree's");
        std::fflush(stdout);
    }
    return path;
}

} // namespace rig
