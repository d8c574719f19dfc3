// Every error of every call that tv-mkprofile makes after the argument
// check, along each way of creating a profile, generated from a run without
// faults rather than listed: strace's injection where the call must not
// happen, the file system shim where it is done and then fails. One oracle
// judges each cell from what is on disk afterwards, and the suite prints how
// many cells it ran and how each ended.
#include "mkprofile/creation_paths.h"
#include "mkprofile/file_system_shim.h"
#include "mkprofile/profile_directory.h"
#include "mkprofile/trace.h"
#include "mkprofile_expected.h"
#include "mkprofile_fixture.h"

#include "sandbox.h"

#include "file_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace expected;
using rig::entries;
using rig::file_text;
using rig::lines_of;
using rig::profile_dir;

namespace {

const std::string program = "/opt/matrix/run";

struct Way {
    const char* name;
    rig::Creation creation;
    std::vector<std::string> lacks; // what the file system lacks, to the shim
    // Temporaries that killed runs left before this one started, of this
    // version and the earlier one (as PID 2 of a fresh PID namespace), and
    // strace started as PID 1 of one.
    bool leftovers = false;
};

const Way ways[] = {
    {"unnamed", rig::Creation::unnamed, {}},
    {"renamed", rig::Creation::renamed, {"unnamed"}},
    // NFS: a rename that takes no flags.
    {"linked", rig::Creation::linked, {"unnamed", "rename2"}},
    // sshfs: nor a link (ENOSYS), so the last resort.
    {"exclusive", rig::Creation::exclusive, {"unnamed", "rename2", "links"}},
    {"renamed_after_killed_runs", rig::Creation::renamed, {"unnamed"}, true},
};

const std::vector<std::string> killed_runs_left = {".tv-mkprofile-2-0", ".tv-mkprofile-00112233445566ff"};

struct Error {
    const char* name;
    int value;
};

// Each error some file system gives some call.
const Error errors[] = {{"ENOSYS", ENOSYS}, {"EINVAL", EINVAL}, {"EOPNOTSUPP", EOPNOTSUPP}, {"EPERM", EPERM},
    {"EACCES", EACCES}, {"EIO", EIO}, {"ENOSPC", ENOSPC}, {"EDQUOT", EDQUOT}, {"EROFS", EROFS}, {"EEXIST", EEXIST},
    {"EMLINK", EMLINK}, {"EXDEV", EXDEV}, {"EINTR", EINTR}, {"ENOMEM", ENOMEM}};

struct Cell {
    std::string name;
    const Way* way;
    std::string call; // the system call, or the C library's call for the shim
    int n = 0; // which one of its name, 1 for the first
    const Error* error = nullptr; // none: the run without faults
    bool done = false; // made, then reports the error
    bool writes_the_line = false;
    bool before_own_temporary = false; // a call of the cleaning up
};

std::string call_name(const std::string& line)
{
    const auto open = line.find('(');
    if (open == std::string::npos || open == 0)
        return {};
    const std::string name = line.substr(0, open);
    return name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") == std::string::npos ? name : "";
}

std::vector<std::string> shim_variables(const Way& way, const std::vector<std::string>& more = {})
{
    std::vector<std::string> settings{rig::lacking(way.lacks)};
    settings.insert(settings.end(), more.begin(), more.end());
    return rig::file_system_shim(settings);
}

std::vector<std::string> pid_namespace(const Way& way)
{
    if (!way.leftovers)
        return {};
    return {"unshare", "--pid", "--fork", "--kill-child"};
}

void empty_profile_directory(const Way& way, const std::string& dir = profile_dir)
{
    for (const auto& name : entries(dir))
        fs::remove(dir + "/" + name);
    if (way.leftovers)
        for (const auto& name : killed_runs_left)
            std::ofstream(dir + "/" + name) << "half";
}

// The cells of one way: each call that the run without faults made after
// the argument check (from its look at the profile's path), with each error.
std::vector<Cell> cells_of(const Way& way, const std::string& trace, const std::string& shim_log)
{
    std::vector<Cell> cells{{std::string(way.name) + "/no fault", &way, "", 0}};
    const std::string look = "\"" + profile_of(program) + "\"";
    std::map<std::string, int> seen;
    bool checked = false;
    bool own_temporary = false;
    // A coverage build writes its counters at exit: from the first of their
    // files on, the calls are the counters', and a fault there breaks the
    // counters, not the profile. (The shim never sees them: the counters'
    // stdio closes inside libc.)
    for (const auto& line : lines_of(trace)) {
        if (line.find(".gcda") != std::string::npos)
            break;
        const std::string name = call_name(line);
        if (name.empty())
            continue;
        const int n = ++seen[name];
        checked = checked || line.find(look) != std::string::npos;
        if (!checked || name == "exit_group")
            continue;
        own_temporary = own_temporary
            || (name == "openat" && line.find(".tv-mkprofile-") != std::string::npos
                && line.find("O_EXCL") != std::string::npos);
        for (const auto& e : errors)
            cells.push_back({std::string(way.name) + "/" + name + "#" + std::to_string(n) + "/" + e.name, &way, name, n,
                &e, false, line.starts_with("write(1"), !own_temporary});
    }
    seen.clear();
    for (const auto& name : lines_of(shim_log)) {
        const int n = ++seen[name];
        for (const auto& e : errors)
            cells.push_back({std::string(way.name) + "/" + name + "()#" + std::to_string(n) + "/" + e.name + " done",
                &way, name, n, &e, true});
    }
    return cells;
}

// A cell's run, with `dir` as its profile directory: bound there in a mount
// namespace of the run's own, so that cells run side by side.
rig::TracedRun run_cell(const Cell& cell, const std::string& dir)
{
    std::vector<std::string> strace_args;
    std::vector<std::string> more;
    if (cell.error != nullptr && !cell.done)
        strace_args = {"-e", "inject=" + cell.call + ":error=" + cell.error->name + ":when=" + std::to_string(cell.n)};
    if (cell.error != nullptr && cell.done)
        more.push_back(rig::done_then_fail(cell.call, cell.error->value, cell.n));
    empty_profile_directory(*cell.way, dir);
    std::vector<std::string> before
        = {"unshare", "--mount", "sh", "-c", "mount --bind \"$0\" " + profile_dir + " && exec \"$@\"", dir};
    const auto pid = pid_namespace(*cell.way);
    before.insert(before.end(), pid.begin(), pid.end());
    return rig::run_mkprofile_traced({program}, strace_args, shim_variables(*cell.way, more), before);
}

struct Verdict {
    std::string outcome; // created, exists, left partial, failed
    std::string wrong; // empty when the cell passes
};

// What is on disk decides what the run had to say (tv-mkprofile(8)).
Verdict judge(const Cell& cell, const rig::TracedRun& r, const std::string& dir)
{
    const std::string profile = md5_of(program);
    const std::string whole = content(program);
    if (r.outcome.status == -1)
        return {"", "did not end within the deadline: " + r.outcome.err};
    if (!r.outcome.err.empty())
        return {"", "wrote to standard error: " + r.outcome.err};
    bool present = false;
    std::vector<std::string> temporaries;
    for (const auto& name : entries(dir)) {
        if (name == profile)
            present = true;
        else if (name.starts_with(".tv-mkprofile-"))
            temporaries.push_back(name);
        else
            return {"", "left " + name};
    }
    const std::string body = present ? file_text(dir + "/" + profile) : "";
    const bool is_whole = present && body == whole;
    Verdict v;
    std::string line;
    switch (r.outcome.status) {
    case 0:
        v.outcome = "created";
        line = created_line(program);
        if (!is_whole)
            v.wrong = "said created, but the profile is " + std::string(present ? "partial" : "absent");
        break;
    case 254:
        line = exists_line(program);
        v.outcome = present ? "left partial" : "exists";
        if (is_whole)
            v.wrong = "said it exists, but the whole profile under the name is this run's";
        else if (present && (cell.way->creation != rig::Creation::exclusive || !whole.starts_with(body)))
            v.wrong = "left a partial profile off the last resort";
        // Told so by the kernel: an entry that came and went meanwhile.
        else if (!present && (cell.error == nullptr || cell.done || cell.error->value != EEXIST))
            v.wrong = "said it exists, but nothing is under the name";
        break;
    case 255:
        v.outcome = "failed";
        line = failed_line(program);
        if (present)
            v.wrong = "said it failed, but a profile is under the name";
        break;
    default:
        return {"", "ended with status " + std::to_string(r.outcome.status)};
    }
    if (v.wrong.empty() && cell.error == nullptr && r.outcome.status != 0)
        v.wrong = "a run without faults did not create the profile";
    if (v.wrong.empty() && r.outcome.out != line && !(cell.writes_the_line && r.outcome.out.empty()))
        v.wrong = "printed \"" + r.outcome.out + "\" with status " + std::to_string(r.outcome.status);
    // A temporary may stay only where its removal failed; one that killed
    // runs left, only where the cleaning up met the fault.
    std::size_t may_stay = cell.error != nullptr && !cell.done && cell.call == "unlinkat" ? 1 : 0;
    if (cell.way->leftovers && cell.error != nullptr && cell.before_own_temporary)
        may_stay = killed_runs_left.size();
    if (v.wrong.empty() && temporaries.size() > may_stay)
        v.wrong = "left " + std::to_string(temporaries.size()) + " temporaries, " + temporaries.front() + " first";
    return v;
}

using ErrorMatrix = FreshProfileDirectory;

TEST_F(ErrorMatrix, EveryErrorOfEveryCallLeavesTheWholeProfileOrNoneAndSaysWhich)
{
    if (const std::string missing = rig::file_system_shim_missing(); !missing.empty())
        GTEST_SKIP() << missing;
    std::vector<Cell> cells;
    for (const auto& way : ways) {
        // The log's own calls would count in the trace: two runs.
        const std::string log = rig::mkprofile_scratch_file("calls");
        empty_profile_directory(way);
        (void)rig::run_mkprofile_traced(
            {program}, {}, shim_variables(way, {rig::calls_logged_to(log)}), pid_namespace(way));
        empty_profile_directory(way);
        const auto clean = rig::run_mkprofile_traced({program}, {}, shim_variables(way), pid_namespace(way));
        const auto own = cells_of(way, clean.trace, file_text(log));
        // The run took the way it was meant to.
        const rig::Step taken[] = {rig::Step::link_unnamed, rig::Step::rename, rig::Step::link,
            rig::Step::create_exclusive, rig::Step::rename};
        const auto call = rig::call_of(taken[&way - ways], way.creation, program);
        EXPECT_TRUE(rig::succeeded(clean.trace, call))
            << way.name << ": no " << call.name << "(..." << call.part << "...) that succeeded in\n"
            << clean.trace;
        cells.insert(cells.end(), own.begin(), own.end());
    }
    // One profile directory for each cell run at a time.
    const unsigned side_by_side = std::clamp(std::thread::hardware_concurrency(), 2u, 4u);
    std::vector<std::string> dirs;
    for (unsigned i = 0; i < side_by_side; ++i) {
        dirs.push_back("/etc/tolvane-matrix-" + std::to_string(i));
        fs::create_directories(dirs.back());
        const rig::Status mounted = rig::mount_tmpfs(dirs.back(), "mode=0755");
        ASSERT_TRUE(mounted) << mounted;
    }
    std::vector<Verdict> verdicts(cells.size());
    std::vector<std::string> printed(cells.size());
    std::atomic<std::size_t> next = 0;
    std::vector<std::thread> runners;
    for (unsigned i = 0; i < side_by_side; ++i)
        runners.emplace_back([&, i] {
            for (std::size_t c; (c = next++) < cells.size();) {
                const auto r = run_cell(cells[c], dirs[i]);
                verdicts[c] = judge(cells[c], r, dirs[i]);
                printed[c] = r.outcome.out;
            }
        });
    for (auto& runner : runners)
        runner.join();
    for (const auto& dir : dirs)
        (void)rig::unmount(dir);

    std::map<std::string, int> outcomes;
    int wrong = 0;
    int unannounced = 0;
    for (std::size_t c = 0; c < cells.size(); ++c) {
        if (!verdicts[c].wrong.empty()) {
            ++wrong;
            ADD_FAILURE() << cells[c].name << ": " << verdicts[c].wrong;
            continue;
        }
        ++outcomes[verdicts[c].outcome];
        unannounced += printed[c].empty() ? 1 : 0;
    }
    std::printf("error matrix: %zu cells:", cells.size());
    for (const auto& [outcome, count] : outcomes)
        std::printf(" %d %s,", count, outcome.c_str());
    std::printf(" %d wrong; %d told by the status alone (the line's write failed)\n", wrong, unannounced);
    EXPECT_GT(cells.size(), std::size(ways) * std::size(errors) * 10);
}

} // namespace
