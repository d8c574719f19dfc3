#include "notify_e2e/failure_stack.h"

#include "artifacts.h"
#include "child_process.h"
#include "notify_e2e/records.h"
#include "notify_e2e/rig.h"

#include "file_text.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <memory>
#include <sstream>
#include <string_view>

namespace e2e {

namespace {

// A frame of a stack, as backtrace_symbols ("OBJECT(NAME+0xN)[0xA]") or
// strace -k (" > OBJECT(NAME+0xN) [0xA]") shows it: its object, and the
// names of the functions it stands in, inlined ones included where the
// object's own symbols tell them.
struct Frame {
    std::string object;
    std::string names;
};

// A demangled name up to its parameters; the parentheses of an unnamed
// namespace, where a function not inlined into its caller shows it, are
// not the parameters'.
std::string without_parameters(std::string name)
{
    constexpr std::string_view unnamed = "(anonymous namespace)::";
    for (auto at = name.find(unnamed); at != std::string::npos; at = name.find(unnamed, at))
        name.erase(at, unnamed.size());
    return name.substr(0, name.find('('));
}

// The plug-in's functions hidden from its dynamic symbols, found in its
// own symbol table; the return address is one past the call.
std::string symbolized(const std::string& object, const std::string& offset)
{
    static std::map<std::string, std::string> known;
    if (const auto found = known.find(object + offset); found != known.end())
        return found->second;
    std::ostringstream address;
    address << std::hex << "0x" << std::stoul(offset, nullptr, 16) - 1;
    rig::ChildProcess addr2line;
    if (!rig::spawn({"addr2line", "-f", "-i", "-C", "-e", object, address.str()}, {}, addr2line))
        return {};
    const auto deadline = rig::deadline_in(patience);
    const auto lines = lines_of(rig::read_rest(addr2line, deadline));
    (void)rig::wait_exit(addr2line, deadline);
    std::string names;
    for (std::size_t n = 0; n < lines.size(); n += 2) // a name, then its place
        names += without_parameters(lines[n]) + "\n";
    return known[object + offset] = names;
}

// A function's name without its parameters, whose types would name others.
std::string function_name(const std::string& symbol)
{
    std::string name = symbol.substr(0, symbol.find('+'));
    int status = -1;
    const std::unique_ptr<char, decltype(&std::free)> demangled(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    if (status == 0)
        name = demangled.get();
    return without_parameters(name);
}

std::vector<Frame> frames_of(const std::string& stack)
{
    std::vector<Frame> frames;
    std::istringstream in(stack);
    for (std::string line; std::getline(in, line);) {
        const bool traced = line.starts_with(" > ");
        if (traced)
            line.erase(0, 3);
        const auto open = line.find('(');
        const auto close = line.find(')', open);
        if (open == std::string::npos || close == std::string::npos)
            continue;
        Frame frame{line.substr(0, open), line.substr(open + 1, close - open - 1)};
        // Where strace finds no name, newer ones show "+0x0" and the offset
        // in the object only in brackets; backtrace_symbols shows it as the
        // name's, and the address in brackets.
        std::string offset = frame.names.empty() ? std::string() : frame.names.substr(1);
        if (const auto bracket = line.find(" [0x", close); traced && bracket != std::string::npos)
            offset = line.substr(bracket + 2, line.find(']', bracket) - bracket - 2);
        // Another object's nearest symbol (addr2line's guess without debug
        // information) would name the wrong function: only the plug-in's
        // own table is read.
        if (!frame.names.empty() && !frame.names.starts_with("+0x"))
            frame.names = function_name(frame.names);
        else if (frame.object.find("libtolvane-notify") != std::string::npos && offset.starts_with("0x"))
            frame.names = symbolized(frame.object, offset);
        else
            frame.names.clear();
        frames.push_back(std::move(frame));
    }
    return frames;
}

bool has(const std::string& text, std::initializer_list<std::string_view> parts)
{
    return std::ranges::any_of(parts, [&](std::string_view part) { return text.find(part) != std::string::npos; });
}

} // namespace

std::string failure_tables_unavailable()
{
#ifdef TOLVANE_SANITIZED_BUILD
    return "a sanitized build: the sanitizer's runtime makes calls of its own on the host's threads (its "
           "allocator's mmap among them), which the tables would fail";
#endif
    const std::string plugin = rig::artifact(rig::plugin_variable, TOLVANE_NOTIFY_PLUGIN);
    rig::ChildProcess nm;
    rig::SpawnOptions options;
    options.stderr_path = "/dev/null";
    if (!rig::spawn({"nm", "--defined-only", plugin}, options, nm))
        return "nm (binutils) cannot run";
    const auto deadline = rig::deadline_in(patience);
    const bool named = rig::read_rest(nm, deadline).find("run_registration") != std::string::npos;
    (void)rig::wait_exit(nm, deadline);
    return named ? "" : plugin + " has no symbol table: the step of a failed call cannot be told";
}

Step step_of(const std::string& call, const std::string& stack)
{
    if (call.find(notify_file) != std::string::npos)
        return call.starts_with("read(") ? Step::read : Step::open;
    const auto frames = frames_of(stack);
    const auto plugin = std::ranges::find_if(
        frames, [](const Frame& f) { return f.object.find("libtolvane-notify") != std::string::npos; });
    if (plugin == frames.begin() || plugin == frames.end())
        return Step::other;
    const Frame& called = *(plugin - 1);
    const std::string& in = plugin->names;
    if (has(called.names, {"_Znwm", "_Znam", "operator new"}))
        return Step::other; // the plug-in's own memory: that record is lost
    if (has(in, {"Closer", "Unref", "~BusError"}) || has(called.names, {"unref", "sd_bus_error_free"}))
        return Step::release;
    if (called.object.find("libsystemd") != std::string::npos) {
        if (called.names.starts_with("sd_bus_open_user"))
            return Step::user_bus;
        if (!has(in, {"make_notify_call", "call_notify", "wait_for_answer"}) && has(in, {"send_blocked_notification"}))
            return Step::user_bus;
        return Step::notify;
    }
    if (has(in, {"set_up_translation"}) || has(called.names, {"textdomain", "setlocale"}))
        return Step::other; // the texts stay in English
    if (has(in, {"start_sleep_monitor"}))
        return Step::monitor_start;
    if (has(in, {"read_exactly", "read_records"}))
        return Step::read;
    if (has(in, {"run_registration"}))
        return Step::open;
    return Step::other;
}

bool failed_for_the_loader(const std::string& stack)
{
    const auto frames = frames_of(stack);
    const auto caller = std::ranges::find_if(
        frames, [](const Frame& f) { return f.object.find("allocation_failure_preload") == std::string::npos; });
    const auto loader = [](const Frame& f) {
        return f.object.find("/ld-linux") != std::string::npos || f.object.find("/ld64.so") != std::string::npos;
    };
    // Memory that thread creation asks for fails the creation, which says so.
    for (auto frame = caller; frame != frames.end() && loader(*frame); ++frame)
        if (frame->names == "__tls_get_addr")
            return true;
    return false;
}

MonitorStep monitor_step_of(const std::string& stack)
{
    const auto frames = frames_of(stack);
    const auto plugin = std::ranges::find_if(
        frames, [](const Frame& f) { return f.object.find("libtolvane-notify") != std::string::npos; });
    if (plugin == frames.begin() || plugin == frames.end())
        return MonitorStep::none;
    const std::string& called = (plugin - 1)->names;
    if (called.starts_with("sd_bus_open_system"))
        return MonitorStep::connect;
    if (called.starts_with("sd_bus_process"))
        return MonitorStep::process;
    if (called.starts_with("sd_bus_wait"))
        return MonitorStep::wait;
    if (has(called, {"unref"}))
        return MonitorStep::release;
    return MonitorStep::subscribe; // the match, GetNameOwner, the signal's match
}

std::string cancellation_unavailable()
{
#ifdef TOLVANE_SANITIZED_BUILD
    return "a sanitized build: AddressSanitizer's own check of the stacks fails in __asan_handle_no_return as a "
           "cancelled thread unwinds, inside the runtime's sigaltstack call, not at an access of the plug-in's";
#else
    return {};
#endif
}

} // namespace e2e
