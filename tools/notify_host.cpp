// tolvane-notify-host: loads the notification plug-in and drives its entry
// points the way a host service manager does, printing what they return.
//
//   tolvane-notify-host [--while-reading register|unregister|unload] [--unregister] PLUGIN
//
// Plain: calls KRMRegister, prints "KRMRegister returned N", and with
// --unregister then calls KRMUnregister and prints its result.
// --while-reading: KRMRegister runs on a second thread; once a line (or end
// of input) arrives on standard input, the main thread calls KRMRegister a
// second time ("second KRMRegister returned N") or KRMUnregister
// ("KRMUnregister returned N") while the first call is still reading;
// "unload" calls KRMUnregister and then dlclose ("dlclose returned N"), as a
// host does that unloads a plug-in it has unregistered, with the reader and
// the monitor thread still inside the library.
// Exit status: 0, or 2 when the plug-in cannot be loaded.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

namespace {

using entry_point = int (*)();

struct Options {
    const char* plugin = nullptr;
    std::string_view while_reading; // "", "register", "unregister" or "unload"
    bool unregister = false;
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
    std::fprintf(
        stderr, "usage: tolvane-notify-host [--while-reading register|unregister|unload] [--unregister] PLUGIN\n");
    return 2;
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
        else if (!arg.starts_with("-") && !options.plugin)
            options.plugin = argv[i];
        else
            return usage();
    }
    if (!options.plugin
        || (!options.while_reading.empty() && options.while_reading != "register"
            && options.while_reading != "unregister" && options.while_reading != "unload")
        || (options.while_reading == "unload" && options.unregister))
        return usage();

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

    if (options.while_reading.empty()) {
        report("KRMRegister", krm_register());
    } else {
        int first = 0;
        std::thread reader([&] { first = krm_register(); });
        wait_for_go();
        if (options.while_reading == "register")
            report("second KRMRegister", krm_register());
        else
            report("KRMUnregister", krm_unregister());
        if (options.while_reading == "unload")
            report("dlclose", ::dlclose(plugin));
        reader.join();
        report("KRMRegister", first);
    }
    if (options.unregister)
        report("KRMUnregister", krm_unregister());
    return 0;
}
