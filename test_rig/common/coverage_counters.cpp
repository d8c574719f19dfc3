// Linked into the programs of a coverage build alone. The runtime writes a
// program's counters as it exits; the suites end some runs on a signal that
// the program held, or under a file-size limit, and those counts would be
// lost. Here the counters are written before such a signal acts, and the
// file-size limit is lifted to its hard limit just before they are.
#include <sys/resource.h>

#include <csignal>

extern "C" void __gcov_dump();

namespace {

void lift_file_size_limit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        (void)::setrlimit(RLIMIT_FSIZE, &limit);
    }
}

// The handler is reset as it is entered, so the signal raised again acts as
// it would have: the run still ends by it.
void write_counters_and_end(int signal_number)
{
    lift_file_size_limit();
    __gcov_dump();
    (void)::raise(signal_number);
}

// Only what would end the program, and only where it was left at the
// default: a signal the caller ignores stays ignored.
__attribute__((constructor)) void write_counters_on_signals()
{
    const int ending[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGPIPE, SIGXFSZ};
    for (const int signal_number : ending) {
        struct sigaction previous = {};
        if (::sigaction(signal_number, nullptr, &previous) != 0 || previous.sa_handler != SIG_DFL)
            continue;
        struct sigaction action = {};
        action.sa_handler = write_counters_and_end;
        action.sa_flags = SA_RESETHAND | SA_NODEFER;
        ::sigemptyset(&action.sa_mask);
        (void)::sigaction(signal_number, &action, nullptr);
    }
}

// Destructors of the default priority run before the runtime's own, which
// writes the counters.
__attribute__((destructor)) void lift_before_exit()
{
    lift_file_size_limit();
}

} // namespace
