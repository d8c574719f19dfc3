#include "mkprofile/trace.h"

#include "mkprofile/emulator.h"

#include "file_text.h"

#include <cstdlib>
#include <sstream>

namespace rig {
namespace {

bool is_call(const std::string& line, const std::string& names)
{
    std::istringstream each(names);
    for (std::string name; std::getline(each, name, '|');)
        if (line.starts_with(name + "("))
            return true;
    return false;
}

bool matches(const std::string& line, const TracedCall& call)
{
    return is_call(line, call.name) && line.find(call.part) != std::string::npos;
}

} // namespace

TracedCall as_made_in(const std::string& trace, const TracedCall& call)
{
    for (const auto& line : lines_of(trace))
        if (matches(line, call))
            return {line.substr(0, line.find('(')), call.part};
    return call;
}

SpawnOptions options_under_ptrace()
{
    SpawnOptions options;
    const char* asan_options = std::getenv("ASAN_OPTIONS");
    options.environment.push_back(
        std::string("ASAN_OPTIONS=") + (asan_options != nullptr ? asan_options : "") + ":detect_leaks=0");
    return options;
}

TracedRun run_mkprofile_traced(const std::vector<std::string>& args, const std::vector<std::string>& strace_args,
    const std::vector<std::string>& environment, const std::vector<std::string>& before)
{
    const std::string log = mkprofile_scratch_file("trace");
    std::vector<std::string> wrapper = before;
    wrapper.insert(wrapper.end(), {STRACE, "-o", log, "-y", "-s", "512"});
    wrapper.insert(wrapper.end(), strace_args.begin(), strace_args.end());
    SpawnOptions options = options_under_ptrace();
    if (under_emulator())
        options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    else
        for (const auto& variable : environment)
            wrapper.insert(wrapper.end(), {"-E", variable});
    TracedRun traced;
    traced.outcome = run_mkprofile(args, options, wrapper);
    traced.trace = rig::file_text(log);
    return traced;
}

int occurrence(const std::string& trace, const TracedCall& call)
{
    int n = 0;
    for (const auto& line : lines_of(trace)) {
        if (!is_call(line, call.name))
            continue;
        ++n;
        if (line.find(call.part) != std::string::npos)
            return n;
    }
    return 0;
}

int calls_before(const std::string& trace, const std::string& name, const TracedCall& mark)
{
    int n = 0;
    for (const auto& line : lines_of(trace)) {
        if (matches(line, mark))
            break;
        n += is_call(line, name) ? 1 : 0;
    }
    return n;
}

long position(const std::string& trace, const TracedCall& call)
{
    const auto lines = lines_of(trace);
    for (std::size_t n = 0; n < lines.size(); ++n)
        if (matches(lines[n], call))
            return static_cast<long>(n);
    return -1;
}

bool succeeded(const std::string& trace, const TracedCall& call)
{
    for (const auto& line : lines_of(trace))
        if (matches(line, call) && line.find(" = -1 ") == std::string::npos && !line.ends_with(" = ?"))
            return true;
    return false;
}

testing::AssertionResult tampered_with(const std::string& trace, const TracedCall& call)
{
    const auto lines = lines_of(trace);
    for (std::size_t n = 0; n < lines.size(); ++n) {
        if (!matches(lines[n], call))
            continue;
        const std::string next = n + 1 < lines.size() ? lines[n + 1] : "";
        if (lines[n].ends_with(" (INJECTED)") || next.starts_with("--- SIG") || next.starts_with("+++ killed by "))
            return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "strace made no fault at " << call.name << "(..." << call.part << "...) in\n"
                                       << trace;
}

std::string killed_by(const std::string& trace)
{
    const std::string killed = "+++ killed by ";
    const auto at = trace.rfind(killed);
    if (at == std::string::npos)
        return {};
    const auto start = at + killed.size();
    return trace.substr(start, trace.find(' ', start) - start);
}

} // namespace rig
