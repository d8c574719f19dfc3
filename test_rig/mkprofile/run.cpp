#include "mkprofile/run.h"

#include "artifacts.h"
#include "file_text.h"
#include "mkprofile/emulator.h"

#include <atomic>

namespace rig {
namespace {

std::string scratch;
// Counted from several threads at once in the error matrix.
std::atomic<int> files_made = 0;

} // namespace

void set_mkprofile_scratch(const std::string& dir)
{
    scratch = dir;
}

std::string mkprofile_scratch_file(const std::string& kind)
{
    return scratch + "/" + kind + std::to_string(files_made++);
}

std::vector<std::string> mkprofile_command(
    const std::vector<std::string>& args, SpawnOptions& options, const std::vector<std::string>& wrapper)
{
    std::vector<std::string> argv = wrapper;
    const auto emulator = emulator_words(options);
    argv.insert(argv.end(), emulator.begin(), emulator.end());
    argv.push_back(artifact(mkprofile_variable, TV_MKPROFILE));
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

Status start_mkprofile(const std::vector<std::string>& args, SpawnOptions options,
    const std::vector<std::string>& wrapper, MkprofileRun& run)
{
    run.stderr_path = mkprofile_scratch_file("stderr");
    options.stderr_path = run.stderr_path;
    if (!options.umask)
        options.umask = 022;
    const auto argv = mkprofile_command(args, options, wrapper);
    return spawn(argv, options, run.process);
}

MkprofileOutcome finish_mkprofile(MkprofileRun& run)
{
    const auto deadline = deadline_in(std::chrono::seconds(60));
    MkprofileOutcome outcome;
    outcome.out = read_rest(run.process, deadline);
    outcome.status = wait_exit(run.process, deadline).value_or(-1);
    outcome.err = file_text(run.stderr_path);
    return outcome;
}

MkprofileOutcome run_mkprofile(
    const std::vector<std::string>& args, const SpawnOptions& options, const std::vector<std::string>& wrapper)
{
    MkprofileRun run;
    if (const Status started = start_mkprofile(args, options, wrapper, run); !started)
        return {-1, "", started.error};
    return finish_mkprofile(run);
}

} // namespace rig
