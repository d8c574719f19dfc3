// tolvane-notify-host: loads the notification plug-in and drives its entry
// points the way a host service manager does, printing what they return.
//
//   tolvane-notify-host [--confined] [--count-descriptors] [--while-reading ACTION] [--unregister] PLUGIN
//   tolvane-notify-host --can-confine
//
// Plain: calls KRMRegister, prints "KRMRegister returned N", and with
// --unregister then calls KRMUnregister and prints its result.
// --confined: before it loads the plug-in, the host has every connection but
// the one to the system log refused with EPERM (confinement.cpp).
// --count-descriptors: last, prints "descriptors opened: N", the descriptors
// open at the end less those open before the first KRMRegister.
// --can-confine: prints "can confine" and exits 0 where --confined works on
// this machine, else prints "cannot confine: " and why, and exits 3 (as does
// --confined there, before it loads anything).
// --while-reading: KRMRegister runs on a second thread; once a line (or end
// of input) arrives on standard input, the main thread does ACTION while the
// first call is still reading:
//   register    KRMRegister a second time ("second KRMRegister returned N");
//   unregister  KRMUnregister ("KRMUnregister returned N");
//   unload      KRMUnregister, then dlclose ("dlclose returned N"), as a host
//               does that unloads a plug-in it has unregistered, with the
//               reader and the monitor thread still inside the library;
//   exit        exit(0) at once, as a host does at shutdown;
//   textdomain  selects a text domain of the host's own ("textdomain
//               tolvane-host");
//   signals     sends the process a burst of SIGUSR1 and SIGUSR2, alternating
//               ("sent N signals"). Both are blocked on every thread but the
//               one that registered, and handled there without SA_RESTART,
//               as a host does that keeps its signals to one thread; the
//               rest of the burst comes while that thread is still handling
//               the first one. It reports once the signals are handled.
//   storm       sends the process SIGUSR1 every 2 ms, blocked and handled as
//               in a burst, until the next line (or end) of input ("sent N
//               signals"), as a host does whose children keep ending.
// Then it waits for the first call to end and prints its result.
//
// Like many hosts, this one is linked to export its own symbols, and some of
// them bear the plug-in's names (see rivals.cpp).
// Exit status: 0, or 2 when the plug-in cannot be loaded, or 3 as above.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <libintl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>

int host_rivals_used(); // rivals.cpp
// confinement.cpp
const char* confinement_unavailable(); // why not on this machine, or nullptr
bool refuse_connections_but_the_system_log();

namespace {

using entry_point = int (*)();

constexpr std::string_view actions[]
    = {"register", "unregister", "unload", "exit", "textdomain", "signals", "storm", "cancel"};
constexpr int signal_pairs = 100;

struct Options {
    const char* plugin = nullptr;
    std::string_view while_reading; // "" or one of actions
    bool unregister = false;
    bool confined = false;
    bool can_confine = false;
    bool count_descriptors = false;
};

void report(const char* what, int result)
{
    std::printf("%s returned %d\n", what, result);
    std::fflush(stdout);
}

// The tests tell the host when the first call has reached the reader by
// writing a line; end of input counts too.
void wait_for_go()
{
    char c = 0;
    while (::read(STDIN_FILENO, &c, 1) == 1 && c != '\n') { }
}

int usage()
{
    std::fprintf(stderr,
        "usage: tolvane-notify-host [--confined] [--count-descriptors] [--while-reading "
        "register|unregister|unload|exit|textdomain|signals|storm|cancel] "
        "[--unregister] PLUGIN\n"
        "       tolvane-notify-host --can-confine\n");
    return 2;
}

bool valid(const Options& options)
{
    if (options.can_confine)
        return !options.plugin && !options.confined && !options.unregister && !options.count_descriptors
            && options.while_reading.empty();
    if (!options.plugin || (options.while_reading == "unload" && options.unregister))
        return false;
    if (options.while_reading.empty())
        return true;
    for (const auto action : actions)
        if (options.while_reading == action)
            return true;
    return false;
}

std::atomic<int> signals_handled{0};
std::atomic<bool> burst_sent{false};

// The registering thread stays in its first handler, with both signals
// blocked, until the whole burst has been sent: every other signal of the
// burst is then handed to some other thread that does not block it, if any.
void handle_burst_signal(int)
{
    if (signals_handled.fetch_add(1) == 0) {
        while (!burst_sent.load()) { }
    }
}

void handle_storm_signal(int)
{
    signals_handled.fetch_add(1);
}

sigset_t user_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    return set;
}

// Blocked here, so on every thread started from now on; the registering
// thread takes them back.
void keep_user_signals_to_one_thread(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_mask = user_signals();
    ::sigaction(SIGUSR1, &action, nullptr);
    ::sigaction(SIGUSR2, &action, nullptr);
    const sigset_t set = user_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void take_user_signals()
{
    const sigset_t set = user_signals();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

// Reports once the registering thread has handled the first signal and the
// two that stayed pending for it, one of each kind; a signal taken by any
// other thread counts as well.
void send_signal_burst()
{
    ::kill(::getpid(), SIGUSR1);
    while (signals_handled.load() == 0)
        std::this_thread::yield();
    for (int i = 0; i < signal_pairs; ++i) {
        ::kill(::getpid(), SIGUSR1);
        ::kill(::getpid(), SIGUSR2);
    }
    burst_sent.store(true);
    while (signals_handled.load() < 3)
        std::this_thread::yield();
    std::printf("sent %d signals\n", 1 + 2 * signal_pairs);
    std::fflush(stdout);
}

void send_signal_storm()
{
    int sent = 0;
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (::poll(&input, 1, 2) == 0) {
        ::kill(::getpid(), SIGUSR1);
        ++sent;
    }
    wait_for_go();
    std::printf("sent %d signals\n", sent);
    std::fflush(stdout);
}

// The entries of /proc/self/fd but the one that reads them. Allocates
// nothing, as the rest of the host after KRMRegister (its output has a
// buffer of its own): an allocation that a test makes fail is the plug-in's.
int open_descriptors()
{
    const int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    int n = 0;
    alignas(dirent64) char buffer[4096];
    for (long got; (got = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0;) {
        for (long at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            n += entry->d_name[0] != '.' ? 1 : 0;
            at += entry->d_reclen;
        }
    }
    ::close(dir);
    return n - 1;
}

void act_while_reading(std::string_view action, void* plugin, entry_point krm_register, entry_point krm_unregister)
{
    if (action == "register") {
        report("second KRMRegister", krm_register());
    } else if (action == "exit") {
        std::exit(0);
    } else if (action == "textdomain") {
        std::printf("textdomain %s\n", ::textdomain("tolvane-host"));
        std::fflush(stdout);
    } else if (action == "signals") {
        send_signal_burst();
    } else if (action == "storm") {
        send_signal_storm();
    } else {
        report("KRMUnregister", krm_unregister());
        if (action == "unload")
            report("dlclose", ::dlclose(plugin));
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--while-reading" && i + 1 < argc)
            options.while_reading = argv[++i];
        else if (arg == "--unregister")
            options.unregister = true;
        else if (arg == "--confined")
            options.confined = true;
        else if (arg == "--count-descriptors")
            options.count_descriptors = true;
        else if (arg == "--can-confine")
            options.can_confine = true;
        else if (!arg.starts_with("-") && !options.plugin)
            options.plugin = argv[i];
        else
            return usage();
    }
    if (!valid(options))
        return usage();
    static char output_buffer[BUFSIZ];
    std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);

    if (options.can_confine || options.confined) {
        if (const char* why = confinement_unavailable()) {
            std::printf("cannot confine: %s\n", why);
            return 3;
        }
        if (options.can_confine) {
            std::printf("can confine\n");
            return 0;
        }
    }
    if (options.confined && !refuse_connections_but_the_system_log()) {
        std::perror("tolvane-notify-host: cannot confine itself");
        return 2;
    }

    // Closed only by --while-reading unload: the plug-in leaves a detached
    // thread running inside it, and is built never to be unmapped for that.
    void* plugin = ::dlopen(options.plugin, RTLD_NOW | RTLD_LOCAL);
    if (!plugin) {
        std::fprintf(stderr, "cannot load %s: %s\n", options.plugin, ::dlerror());
        return 2;
    }
    auto krm_register = reinterpret_cast<entry_point>(::dlsym(plugin, "KRMRegister"));
    auto krm_unregister = reinterpret_cast<entry_point>(::dlsym(plugin, "KRMUnregister"));
    if (!krm_register || !krm_unregister) {
        std::fprintf(stderr, "%s lacks KRMRegister or KRMUnregister\n", options.plugin);
        return 2;
    }

    const int descriptors_before = open_descriptors();
    if (options.while_reading.empty()) {
        report("KRMRegister", krm_register());
    } else if (options.while_reading == "cancel") {
        std::thread reader([&] { krm_register(); });
        wait_for_go();
        ::pthread_cancel(reader.native_handle());
        reader.join();
        std::printf("KRMRegister cancelled\n");
        std::fflush(stdout);
        report("second KRMRegister", krm_register());
    } else {
        const bool signals = options.while_reading == "signals" || options.while_reading == "storm";
        if (signals)
            keep_user_signals_to_one_thread(
                options.while_reading == "storm" ? handle_storm_signal : handle_burst_signal);
        int first = 0;
        std::thread reader([&] {
            if (signals)
                take_user_signals();
            first = krm_register();
        });
        wait_for_go();
        act_while_reading(options.while_reading, plugin, krm_register, krm_unregister);
        reader.join();
        report("KRMRegister", first);
    }
    if (options.unregister)
        report("KRMUnregister", krm_unregister());
    if (options.count_descriptors) {
        std::printf("descriptors opened: %d\n", open_descriptors() - descriptors_before);
        std::fflush(stdout);
    }
    return host_rivals_used() == 0 ? 0 : 1;
}
