#include "mkprofile/creation_paths.h"

#include "md5.h"
#include "mkprofile/profile_directory.h"

#include <filesystem>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace rig {
namespace {

// strace's arguments that refuse what the paths before `creation` need.
std::vector<std::string> refusals(Creation creation, int unnamed_open)
{
    std::vector<std::string> injections;
    if (creation != Creation::unnamed)
        injections.push_back("openat:error=EOPNOTSUPP:when=" + std::to_string(unnamed_open));
    if (creation == Creation::linked || creation == Creation::exclusive)
        injections.push_back("renameat2:error=EINVAL:when=1");
    if (creation == Creation::exclusive)
        injections.push_back("linkat:error=EPERM:when=1");
    return injections;
}

std::string syscall_of(const std::string& injection)
{
    return injection.substr(0, injection.find(':'));
}

// A run without faults for `program` along `creation`: its trace, with the
// profile it made removed again.
Status clean_run(const std::vector<std::string>& injections, const std::string& program,
    const std::vector<std::string>& through, const std::vector<std::string>& environment, std::string& trace)
{
    std::vector<std::string> args;
    for (const auto& i : injections)
        args.insert(args.end(), {"-e", "inject=" + i});
    args.insert(args.end(), through.begin(), through.end());
    const TracedRun run = run_mkprofile_traced({program}, args, environment);
    for (const auto& name : entries(profile_dir))
        std::filesystem::remove(profile_dir + "/" + name);
    if (run.outcome.status != 0)
        return Status::failed("a run without faults ended with status " + std::to_string(run.outcome.status) + ": "
            + run.outcome.out + run.outcome.err + "\n" + run.trace);
    trace = run.trace;
    return Status::ok();
}

struct Calibrated {
    std::vector<std::string> refusals;
    std::string trace;
};

Status calibrated(Creation creation, const std::string& program, const std::vector<std::string>& through,
    const std::vector<std::string>& environment, Calibrated& out)
{
    using Key = std::tuple<Creation, std::string, std::vector<std::string>, std::vector<std::string>>;
    static std::map<Key, Calibrated> known;
    const Key key{creation, program, through, environment};
    if (const auto found = known.find(key); found != known.end()) {
        out = found->second;
        return Status::ok();
    }
    std::string trace;
    if (Status s = clean_run({}, program, through, environment, trace); !s)
        return s;
    const int unnamed_open = occurrence(trace, call_of(Step::make_unnamed, Creation::unnamed, program));
    if (unnamed_open == 0)
        return Status::failed("no unnamed file was made in\n" + trace);
    Calibrated c{refusals(creation, unnamed_open), trace};
    if (creation != Creation::unnamed) {
        if (Status s = clean_run(c.refusals, program, through, environment, c.trace); !s)
            return s;
    }
    // The step only this path takes, and takes successfully.
    const Step own[] = {Step::link_unnamed, Step::rename, Step::link, Step::create_exclusive};
    const TracedCall taken = call_of(own[static_cast<int>(creation)], creation, program);
    if (!succeeded(c.trace, taken))
        return Status::failed("the run did not take its path: no " + taken.name + "(..." + taken.part
            + "...) that succeeded in\n" + c.trace);
    known[key] = c;
    out = c;
    return Status::ok();
}

} // namespace

TracedCall call_of(Step step, Creation creation, const std::string& program)
{
    const std::string profile = md5_hex(program.c_str());
    // The file the content goes to, as the trace names its descriptor.
    const std::string file[] = {"</etc/tolvane.d/#", "</etc/tolvane.d/.tv-mkprofile-", "</etc/tolvane.d/.tv-mkprofile-",
        "</etc/tolvane.d/" + profile + ">"};
    const std::string& written = file[static_cast<int>(creation)];
    switch (step) {
    case Step::open_directory:
        return {"openat", "\"/etc/tolvane.d\", O_RDONLY"};
    case Step::make_unnamed:
        return {"openat", "O_TMPFILE"};
    case Step::link_unnamed:
        return {"linkat", ""};
    case Step::make_temporary:
        return {"openat", "\".tv-mkprofile-"};
    case Step::look_at_temporary: // statx where a C library or an emulator makes fstatat of it
        return {"newfstatat|statx", "\".tv-mkprofile-"};
    case Step::create_exclusive:
        return {"openat", "\"" + profile + "\", O_WRONLY|O_CREAT|O_EXCL"};
    case Step::write:
        return {"write", written};
    case Step::sync_file:
        return {"fsync", written};
    case Step::close_file:
        return {"close", written};
    case Step::rename:
        return {"renameat2", "RENAME_NOREPLACE"};
    case Step::link:
        return {"linkat", "\".tv-mkprofile-"};
    case Step::remove_temporary:
        return {"unlinkat", "\".tv-mkprofile-"};
    case Step::sync_directory:
        return {"fsync", "</etc/tolvane.d>)"};
    }
    return {};
}

Status strace_args_for(Creation creation, const std::string& program, const std::vector<Fault>& faults,
    const std::vector<std::string>& whole, std::vector<std::string>& out, const std::vector<std::string>& through,
    const std::vector<std::string>& environment)
{
    Calibrated c;
    if (Status s = calibrated(creation, program, through, environment, c); !s)
        return s;
    std::vector<std::string> injections = c.refusals;
    for (const auto& fault : faults) {
        const TracedCall call = as_made_in(c.trace, call_of(fault.step, creation, program));
        const int n = occurrence(c.trace, call);
        if (n == 0)
            return Status::failed("no " + call.name + "(..." + call.part + "...) on this path in\n" + c.trace);
        injections.push_back(call.name + ":" + fault.action + ":when=" + std::to_string(n));
    }
    // A written-down count is the program's own: the calls the runtimes make
    // as it starts (ThreadSanitizer's removes a file of its own) come first.
    const TracedCall start = call_of(Step::open_directory, creation, program);
    const std::string when = ":when=";
    for (const auto& w : whole) {
        const auto at = w.find(when);
        if (at == std::string::npos) {
            injections.push_back(w);
            continue;
        }
        // "when=N", "when=N+" (from the Nth on) or "when=N..M": each count moves alike.
        const int before = calls_before(c.trace, syscall_of(w), start);
        const std::string counts = w.substr(at + when.size());
        const auto range = counts.find("..");
        std::string shifted = std::to_string(std::stoi(counts) + before);
        if (range != std::string::npos)
            shifted += ".." + std::to_string(std::stoi(counts.substr(range + 2)) + before);
        else if (counts.ends_with('+'))
            shifted += "+";
        injections.push_back(w.substr(0, at) + when + shifted);
    }
    std::set<std::string> syscalls;
    for (const auto& i : injections)
        if (!syscalls.insert(syscall_of(i)).second)
            return Status::failed("two injections into " + syscall_of(i) + ": strace keeps only one");
    out.clear();
    for (const auto& i : injections)
        out.insert(out.end(), {"-e", "inject=" + i});
    return Status::ok();
}

} // namespace rig
