// Faults only the kernel makes, put in by strace at chosen steps of each way
// of creating a profile: signals, short writes, the answers that must lead to
// another way and still create, answers that name an entry, and pairs of
// faults. Each run is survived or reported truthfully, leaves the whole
// profile or none under its name (the last resort's documented limit aside),
// and the next run settles it. Each single error of each call is the error
// matrix's (mkprofile_matrix.cpp).
#include "file_text.h"
#include "mkprofile/creation_paths.h"
#include "mkprofile/emulator.h"
#include "mkprofile/file_system_shim.h"
#include "mkprofile/profile_directory.h"
#include "mkprofile/trace.h"
#include "mkprofile_expected.h"
#include "mkprofile_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace expected;
using rig::Creation;
using rig::entries;
using rig::file_text;
using rig::profile_dir;
using rig::Step;

namespace {

const std::string program = "/opt/faulty/run";

enum class After {
    created, // the created line, status 0, the whole profile
    exists, // the exists line, status 254, nothing of this run's
    failed, // the failed line, status 255, nothing under the name
    failed_then_signalled, // the failed line, then the held signal ends the run
    left_partial, // the exists line, status 254: a partial profile stays
    killed_absent, // SIGKILL, no line, nothing under the name
    killed_whole, // SIGKILL, no line, the whole profile under the name
    killed_partial, // SIGKILL on the last resort: its documented limit
};

struct FaultRow {
    const char* name;
    Creation creation;
    std::vector<rig::Fault> faults; // at the step's call in a run without faults
    std::vector<std::string> whole; // injections, counted from the program's first step
    After after;
    int temporaries = 0; // temporary names left behind
    std::size_t lost = 0; // leading bytes a short write claimed without storing them
    // A call that does its work and then reports an error: the `n`th of its
    // name that the program makes.
    struct {
        const char* call = nullptr;
        int error = 0;
        int n = 0;
    } done_then_fail = {};
};

// A row shows as its name, not as its bytes.
[[maybe_unused]] void PrintTo(const FaultRow& row, std::ostream* out)
{
    *out << row.name;
}

// The signal an action sends ("error=EIO:signal=SIGINT" sends SIGINT).
std::string signal_of(const std::vector<rig::Fault>& faults)
{
    for (const auto& f : faults)
        if (const auto at = f.action.find("signal="); at != std::string::npos)
            return f.action.substr(at + 7, f.action.find(':', at) - at - 7);
    return {};
}

int temporaries_in(const std::set<std::string>& names)
{
    int n = 0;
    for (const auto& name : names)
        n += is_temporary_name(name) ? 1 : 0;
    return n;
}

class Faults : public FreshProfileDirectory, public ::testing::WithParamInterface<FaultRow> { };

TEST_P(Faults, LeaveTheWholeProfileOrNoneAndTheNextRunSettlesIt)
{
    const FaultRow& row = GetParam();
    std::vector<std::string> environment;
    if (row.done_then_fail.call != nullptr) {
        if (const std::string missing = rig::file_system_shim_missing(); !missing.empty())
            GTEST_SKIP() << missing;
        environment = rig::file_system_shim(
            {rig::done_then_fail(row.done_then_fail.call, row.done_then_fail.error, row.done_then_fail.n)});
    }
    std::vector<std::string> args;
    const rig::Status made = rig::strace_args_for(row.creation, program, row.faults, row.whole, args, {}, environment);
    ASSERT_TRUE(made) << made;
    const auto r = rig::run_mkprofile_traced({program}, args, environment);
    for (const auto& f : row.faults)
        EXPECT_TRUE(rig::tampered_with(r.trace, rig::call_of(f.step, row.creation, program)));
    for (const auto& w : row.whole)
        EXPECT_TRUE(rig::tampered_with(r.trace, {w.substr(0, w.find(':')), ""}));
    EXPECT_EQ(rig::program_stderr(r.outcome.err), "");

    const std::string profile = profile_of(program);
    const std::string whole = content(program);
    const bool in_place = fs::exists(fs::symlink_status(profile));
    const std::string signal = signal_of(row.faults);
    switch (row.after) {
    case After::created:
        EXPECT_EQ(r.outcome.status, 0);
        EXPECT_EQ(r.outcome.out, created_line(program));
        EXPECT_EQ(file_text(profile), whole.substr(row.lost));
        break;
    case After::exists:
    case After::left_partial:
        EXPECT_EQ(r.outcome.status, 254);
        EXPECT_EQ(r.outcome.out, exists_line(program));
        EXPECT_EQ(in_place, row.after == After::left_partial);
        if (in_place) {
            EXPECT_LT(file_text(profile).size(), whole.size());
        }
        break;
    case After::failed:
        EXPECT_EQ(r.outcome.status, 255);
        EXPECT_EQ(r.outcome.out, failed_line(program));
        EXPECT_FALSE(in_place);
        break;
    case After::failed_then_signalled:
        EXPECT_EQ(rig::killed_by(r.trace), signal) << r.trace;
        EXPECT_GT(r.outcome.status, 128);
        EXPECT_EQ(r.outcome.out, failed_line(program));
        EXPECT_FALSE(in_place);
        break;
    case After::killed_absent:
    case After::killed_whole:
    case After::killed_partial:
        EXPECT_EQ(r.outcome.status, 128 + 9);
        EXPECT_EQ(r.outcome.out, "");
        EXPECT_EQ(in_place, row.after != After::killed_absent);
        if (row.after == After::killed_whole) {
            EXPECT_EQ(file_text(profile), whole);
        }
        if (row.after == After::killed_partial) {
            EXPECT_LT(file_text(profile).size(), whole.size());
        }
        break;
    }
    if (row.after != After::failed_then_signalled) {
        EXPECT_EQ(rig::killed_by(r.trace), row.after >= After::killed_absent ? "SIGKILL" : "") << r.trace;
    }
    // Anything else the run left has a temporary name, which no one takes
    // for a profile.
    const auto left = entries(profile_dir);
    EXPECT_EQ(temporaries_in(left), row.temporaries);
    EXPECT_EQ(left.size(), static_cast<std::size_t>(row.temporaries) + (in_place ? 1 : 0));

    // The next run settles it, whatever the first left behind.
    const std::string before = file_text(profile);
    const auto next = rig::run_mkprofile({program});
    if (in_place) {
        EXPECT_EQ(next.status, 254);
        EXPECT_EQ(next.out, exists_line(program));
        EXPECT_EQ(file_text(profile), before);
    } else {
        EXPECT_EQ(next.status, 0);
        EXPECT_EQ(next.out, created_line(program));
        EXPECT_EQ(file_text(profile), whole);
    }
    EXPECT_EQ(entries(profile_dir).size(), left.size() + (in_place ? 0 : 1));
}

// Signals that strace sends as a call begins. A held one is sent with a call
// made to succeed, so that the trace shows where it came.
const std::string sigkill = "signal=SIGKILL";
const std::string sigterm = "retval=0:signal=SIGTERM";
const std::string name_stays = "unlinkat:error=EROFS:when=1";

const FaultRow rows[] = {
    // An unnamed file, linked in when complete.
    // A name that can be neither made durable nor taken back is the profile's.
    {"unnamed_directory_sync_fails_and_the_name_stays", Creation::unnamed, {{Step::sync_directory, "error=EIO"}},
        {name_stays}, After::created},
    {"kernel_predates_unnamed_files", Creation::unnamed, {{Step::make_unnamed, "error=EISDIR"}}, {}, After::created},
    // ENOENT is what kernels before 6.10 answer when the capability is missing.
    {"linking_by_descriptor_needs_a_capability", Creation::unnamed, {}, {"linkat:error=ENOENT:when=1"}, After::created},
    {"linking_by_descriptor_is_not_permitted", Creation::unnamed, {}, {"linkat:error=EPERM:when=1"}, After::created},
    {"no_proc_to_link_through", Creation::unnamed, {}, {"linkat:error=ENOENT"}, After::created},
    // The link through /proc is made, then reported lost: the name tells.
    {"link_through_proc_done_then_fails", Creation::unnamed, {}, {"linkat:error=EPERM:when=1"}, After::created, 0, 0,
        {"linkat", EIO, 2}},
    {"link_through_proc_refused", Creation::unnamed, {}, {"linkat:error=EPERM:when=1..2"}, After::failed},
    {"unnamed_close_fails_and_the_name_stays", Creation::unnamed, {{Step::close_file, "error=EIO"}}, {name_stays},
        After::created},
    {"unnamed_name_taken_as_the_link_is_made", Creation::unnamed, {}, {"linkat:error=EEXIST:when=1"}, After::exists},
    {"unnamed_sigterm_at_profile_sync", Creation::unnamed, {{Step::sync_file, sigterm}}, {}, After::created},
    {"unnamed_sigterm_at_directory_sync", Creation::unnamed, {{Step::sync_directory, sigterm}}, {}, After::created},
    {"unnamed_sigkill_at_write", Creation::unnamed, {{Step::write, sigkill}}, {}, After::killed_absent},
    {"unnamed_sigkill_at_profile_sync", Creation::unnamed, {{Step::sync_file, sigkill}}, {}, After::killed_absent},
    {"unnamed_sigkill_at_link", Creation::unnamed, {{Step::link_unnamed, sigkill}}, {}, After::killed_absent},
    {"unnamed_sigkill_at_directory_sync", Creation::unnamed, {{Step::sync_directory, sigkill}}, {},
        After::killed_whole},

    // No unnamed files: a temporary name, renamed without replacing.
    {"renamed_without_faults", Creation::renamed, {}, {}, After::created},
    {"renamed_write_interrupted", Creation::renamed, {{Step::write, "error=EINTR"}}, {}, After::created},
    {"renamed_write_short", Creation::renamed, {{Step::write, "retval=10"}}, {}, After::created, 0, 10},
    {"renamed_write_fails_and_the_removal_is_refused", Creation::renamed, {{Step::write, "error=EIO"}},
        {"unlinkat:error=EROFS:when=1"}, After::failed, 1},
    {"renamed_directory_sync_fails_and_the_name_stays", Creation::renamed, {{Step::sync_directory, "error=EIO"}},
        {name_stays}, After::created},
    {"renamed_name_taken_as_the_rename_is_made", Creation::renamed, {{Step::rename, "error=EEXIST"}}, {},
        After::exists},
    // The temporary's lock: a cleaning run that opened the file first holds
    // it, or removed the name, and will remove what is left; where the file
    // system has no locks, or the name cannot be looked at, the run goes on.
    {"renamed_temporary_locked_by_a_cleaning_run", Creation::renamed, {}, {"flock:error=EAGAIN:when=1"}, After::created,
        1},
    {"renamed_temporary_removed_by_a_cleaning_run", Creation::renamed, {{Step::look_at_temporary, "error=ENOENT"}}, {},
        After::created, 1},
    {"renamed_every_temporary_locked_by_cleaning_runs", Creation::renamed, {}, {"flock:error=EAGAIN:when=1..16"},
        After::failed, 16},
    {"renamed_file_system_without_locks", Creation::renamed, {}, {"flock:error=ENOLCK:when=1"}, After::created},
    {"renamed_temporary_cannot_be_looked_at", Creation::renamed, {{Step::look_at_temporary, "error=EIO"}}, {},
        After::created},
    // A kernel before 3.15 has no renameat2: the hard link does it.
    {"renamed_kernel_without_the_rename", Creation::renamed, {{Step::rename, "error=ENOSYS"}}, {}, After::created},
    {"renamed_sigterm_at_profile_sync", Creation::renamed, {{Step::sync_file, sigterm}}, {}, After::created},
    {"renamed_sigterm_at_directory_sync", Creation::renamed, {{Step::sync_directory, sigterm}}, {}, After::created},
    {"renamed_sigint_as_profile_sync_fails", Creation::renamed, {{Step::sync_file, "error=EIO:signal=SIGINT"}}, {},
        After::failed_then_signalled},
    {"renamed_sigkill_at_write", Creation::renamed, {{Step::write, sigkill}}, {}, After::killed_absent, 1},
    {"renamed_sigkill_at_profile_sync", Creation::renamed, {{Step::sync_file, sigkill}}, {}, After::killed_absent, 1},
    {"renamed_sigkill_at_rename", Creation::renamed, {{Step::rename, sigkill}}, {}, After::killed_absent, 1},
    {"renamed_sigkill_at_directory_sync", Creation::renamed, {{Step::sync_directory, sigkill}}, {},
        After::killed_whole},

    // Nor a rename that refuses to replace: linked, then the temporary name removed.
    {"linked_without_faults", Creation::linked, {}, {}, After::created},
    {"linked_name_taken_as_the_link_is_made", Creation::linked, {{Step::link, "error=EEXIST"}}, {}, After::exists},
    {"linked_no_hard_links", Creation::linked, {{Step::link, "error=EOPNOTSUPP"}}, {}, After::created},
    {"linked_temporary_name_stays", Creation::linked, {}, {name_stays}, After::created, 1},
    {"linked_sigterm_at_profile_sync", Creation::linked, {{Step::sync_file, sigterm}}, {}, After::created},
    {"linked_sigterm_at_directory_sync", Creation::linked, {{Step::sync_directory, sigterm}}, {}, After::created},
    {"linked_sighup_as_directory_sync_fails", Creation::linked, {{Step::sync_directory, "error=EIO:signal=SIGHUP"}}, {},
        After::failed_then_signalled},
    {"linked_sigkill_at_write", Creation::linked, {{Step::write, sigkill}}, {}, After::killed_absent, 1},
    {"linked_sigkill_at_profile_sync", Creation::linked, {{Step::sync_file, sigkill}}, {}, After::killed_absent, 1},
    {"linked_sigkill_at_link", Creation::linked, {{Step::link, sigkill}}, {}, After::killed_absent, 1},
    {"linked_sigkill_at_directory_sync", Creation::linked, {{Step::sync_directory, sigkill}}, {}, After::killed_whole,
        1},
    {"linked_sigkill_at_removal", Creation::linked, {}, {"unlinkat:signal=SIGKILL:when=1"}, After::killed_whole, 1},

    // Nor hard links: the last resort, the name created exclusively and then written.
    {"exclusive_without_faults", Creation::exclusive, {}, {}, After::created},
    {"exclusive_write_interrupted", Creation::exclusive, {{Step::write, "error=EINTR"}}, {}, After::created},
    {"exclusive_write_short", Creation::exclusive, {{Step::write, "retval=10"}}, {}, After::created, 0, 10},
    {"exclusive_write_fails_and_the_removal_is_refused", Creation::exclusive, {{Step::write, "error=EIO"}},
        {"unlinkat:error=EROFS:when=2"}, After::left_partial},
    {"exclusive_directory_sync_fails_and_the_name_stays", Creation::exclusive, {{Step::sync_directory, "error=EIO"}},
        {"unlinkat:error=EROFS:when=2"}, After::created},
    // A removal that reports an error after it is done took the name back.
    {"exclusive_directory_sync_fails_and_the_removal_is_done_then_fails", Creation::exclusive,
        {{Step::sync_directory, "error=EIO"}}, {}, After::failed, 0, 0, {"unlinkat", EIO, 2}},
    // The signal is held from before the create until the line is out.
    {"exclusive_sigterm_before_the_profile_is_written", Creation::exclusive,
        {{Step::write, "error=EINTR:signal=SIGTERM"}}, {}, After::created},
    {"exclusive_sigterm_at_profile_sync", Creation::exclusive, {{Step::sync_file, sigterm}}, {}, After::created},
    {"exclusive_sigterm_at_directory_sync", Creation::exclusive, {{Step::sync_directory, sigterm}}, {}, After::created},
    {"exclusive_sigint_as_profile_sync_fails", Creation::exclusive, {{Step::sync_file, "error=EIO:signal=SIGINT"}}, {},
        After::failed_then_signalled},
    {"exclusive_sighup_as_directory_sync_fails", Creation::exclusive,
        {{Step::sync_directory, "error=EIO:signal=SIGHUP"}}, {}, After::failed_then_signalled},
    {"exclusive_sigquit_as_closing_fails", Creation::exclusive, {{Step::close_file, "error=EIO:signal=SIGQUIT"}}, {},
        After::failed_then_signalled},
    {"exclusive_sigkill_at_write", Creation::exclusive, {{Step::write, sigkill}}, {}, After::killed_partial},
};

INSTANTIATE_TEST_SUITE_P(EveryStep, Faults, ::testing::ValuesIn(rows),
    [](const ::testing::TestParamInfo<FaultRow>& row) { return std::string(row.param.name); });

} // namespace
