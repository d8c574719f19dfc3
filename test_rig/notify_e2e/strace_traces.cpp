#include "notify_e2e/strace_traces.h"

#include "notify_e2e/failure_stack.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace e2e {

std::vector<int> errors_for(const std::string& name)
{
    if (name == "read" || name == "ppoll")
        return {EIO, EINTR};
    if (name == "socket")
        return {EMFILE};
    if (name == "connect")
        return {EACCES};
    return {EIO};
}

// The plug-in's system calls on the reader's thread in a run without faults,
// by name: those with one of its frames on their stack. The host's own come
// after them. Not close, which strace would fail undone (the preload fails
// it done), whereas a kernel always releases the descriptor; nor brk, which
// a kernel never fails with an error (it returns the old break): one makes
// the C library take it for the break itself.
std::map<std::string, int> plugin_calls(const std::string& trace)
{
    std::map<std::string, int> calls;
    const auto lines = lines_of(trace);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const auto paren = lines[n].find('(');
        if (paren == std::string::npos || lines[n].starts_with(" >") || lines[n].find("resumed>") != std::string::npos)
            continue;
        bool plugins = false;
        bool counters = false; // a coverage build's runtime, linked into the plug-in, writing its counters
        for (std::size_t k = n + 1; k < lines.size() && lines[k].starts_with(" >"); ++k) {
            plugins = plugins || lines[k].find("libtolvane-notify") != std::string::npos;
            counters = counters || lines[k].find("gcov") != std::string::npos;
        }
        if (plugins && !counters)
            ++calls[lines[n].substr(0, paren)];
    }
    calls.erase("close");
    calls.erase("brk");
    return calls;
}

// The call strace failed and its stack; empty when it failed none.
std::pair<std::string, std::string> injected_call(const std::string& trace)
{
    const auto lines = lines_of(trace);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (!lines[n].ends_with("(INJECTED)"))
            continue;
        std::string stack;
        for (std::size_t k = n + 1; k < lines.size() && lines[k].starts_with(" >"); ++k)
            stack += lines[k] + "\n";
        return {lines[n], stack};
    }
    return {};
}

std::string ptrace_asan_options()
{
    const char* options = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (options ? options : "") + ":detect_leaks=0";
}

std::vector<std::string> monitor_traces(const std::string& prefix, pid_t reader)
{
    std::vector<std::string> traces;
    const std::filesystem::path path(prefix);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(path.filename().string() + ".") && !name.ends_with("." + std::to_string(reader)))
            traces.push_back(file_text(entry.path().string()));
    }
    return traces;
}

} // namespace e2e
