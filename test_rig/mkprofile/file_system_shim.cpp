#include "mkprofile/file_system_shim.h"

namespace rig {

std::string file_system_shim_missing()
{
#ifdef PRELOADED_FILE_SYSTEM
    return {};
#else
    return "a sanitized build cannot preload the file system shim: the sanitizer's runtime comes first";
#endif
}

std::vector<std::string> file_system_shim(const std::vector<std::string>& settings)
{
#ifdef PRELOADED_FILE_SYSTEM
    std::vector<std::string> variables{"LD_PRELOAD=" PRELOADED_FILE_SYSTEM};
    variables.insert(variables.end(), settings.begin(), settings.end());
    return variables;
#else
    (void)settings;
    return {};
#endif
}

std::string done_then_fail(const std::string& call, int error, int n)
{
    return "TOLVANE_DONE_THEN_FAIL=" + call + ":" + std::to_string(error) + ":" + std::to_string(n);
}

std::string lacking(const std::vector<std::string>& what)
{
    std::string list;
    for (const auto& w : what)
        list += (list.empty() ? "" : ",") + w;
    return "TOLVANE_LACKS=" + list;
}

std::string calls_logged_to(const std::string& log)
{
    return "TOLVANE_DONE_THEN_FAIL_LOG=" + log;
}

} // namespace rig
