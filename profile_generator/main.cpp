// tv-mkprofile: writes the starter profile of one program into the profile
// directory, never replacing one, and tells the outcome in one line on
// standard output and in the exit status.
#include "profile_path.h"
#include "profile_writer.h"

#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

// Every line is flushed at once so that it is out even if the caller kills
// the program right after. When standard output is gone there is no one left
// to tell; the exit status still reports the outcome.
void print_line(std::string_view line)
{
    (void)std::fwrite(line.data(), 1, line.size(), stdout);
    (void)std::fputc('\n', stdout);
    (void)std::fflush(stdout);
}

void print_usage()
{
    print_line("Usage: tv-mkprofile file_path");
    print_line("");
    print_line(" for exmple: ");
    print_line("\tsudo tv-mkprofile /home/vel/Desktop/test.txt");
}

std::string profile_content(std::string_view program_path)
{
    std::string content(program_path);
    content += " 0.0.1 flags=(complain)\n{\nallow * * rwxd\n}\n";
    return content;
}

bool is_help_option(std::string_view arg)
{
    return arg == "--help" || arg == "-help" || arg == "-h";
}

// Holds back every signal that can be held (SIGKILL and SIGSTOP cannot),
// from before the profile's first file is made until its line is out, so
// that the line tells what is on disk. Then the caller's mask comes back and
// a signal that came meanwhile acts, unless the run is told to end as it is.
class HeldSignals {
public:
    HeldSignals()
    {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &caller_);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals()
    {
        if (!until_exit_)
            ::pthread_sigmask(SIG_SETMASK, &caller_, nullptr);
    }
    // The profile is in place and announced: the run was ending anyway, and
    // a signal now would only turn its status into a lie.
    void keep_until_exit() { until_exit_ = true; }

private:
    sigset_t caller_;
    bool until_exit_ = false;
};

int run(int argc, char** argv)
{
    if (argc != 2 || is_help_option(argv[1])) {
        print_usage();
        return 1;
    }
    const std::string path = argv[1];
    if (check_file_path(argv[1]) != 0) {
        print_line("warning: " + path + "is not invalid filepath!");
        return -1;
    }

    const std::string profile = profile_path_for(path);
    const std::string exists_line = "warning: " + path + "'s profile " + profile + " already exists!";
    const std::string failed_line
        = "warning: " + path + "'s profile " + profile + " create failed. maybe you need run as root!";
    if (profile.empty()) {
        print_line(failed_line);
        return -1;
    }
    // Made before the profile is: once the profile is in place, nothing may
    // keep the run from saying so.
    const std::string created_line = path + "'s profile " + profile + " created!";
    const std::string content = profile_content(path);
    if (entry_exists(profile)) {
        print_line(exists_line);
        return -2;
    }
    HeldSignals held;
    switch (create_profile(profile, content)) {
    case CreateResult::created:
        print_line(created_line);
        held.keep_until_exit();
        return 0;
    case CreateResult::exists:
    // A partial file that could not be taken back occupies the name: the
    // next run finds it too, and it has to be looked at, not run again.
    case CreateResult::left_partial:
        print_line(exists_line);
        return -2;
    case CreateResult::failed:
        break;
    }
    print_line(failed_line);
    return -1;
}

} // namespace

int main(int argc, char** argv)
{
    // A reader that goes away early (`tv-mkprofile P | true`) must not turn
    // the outcome into death by SIGPIPE: the write fails, the status stands.
    // Nor may a file-size limit (`ulimit -f 0`) kill the run half-way through
    // the profile: the write fails with EFBIG, and the run takes back what
    // it made and says so.
    (void)std::signal(SIGPIPE, SIG_IGN);
    (void)std::signal(SIGXFSZ, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (...) {
        // Only running out of memory gets here, and always before the
        // profile is in place: no profile was written.
        return -1;
    }
}
