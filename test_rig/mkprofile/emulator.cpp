#include "mkprofile/emulator.h"

namespace rig {
namespace {

// The emulator's command line as the build gives it, as C strings.
const std::vector<std::string>& emulator()
{
    static const std::vector<std::string> words = {TV_MKPROFILE_EMULATOR};
    return words;
}

} // namespace

bool under_emulator()
{
    return !emulator().empty();
}

std::vector<std::string> emulator_words(SpawnOptions& options)
{
    if (emulator().empty())
        return {};
    std::vector<std::string> words = emulator();
    std::vector<std::string> environment;
    for (const auto& variable : options.environment)
        if (variable.starts_with("LD_"))
            words.insert(words.end(), {"-E", variable});
        else
            environment.push_back(variable);
    options.environment = environment;
    return words;
}

std::string program_stderr(const std::string& err)
{
    const std::string emulator_line = "qemu: uncaught target signal ";
    if (emulator().empty() || !err.starts_with(emulator_line) || err.find('\n') != err.size() - 1)
        return err;
    return {};
}

} // namespace rig
