#include "checks.h"
#include "error_text.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

struct LibraryCloser {
    void operator()(void* library) const noexcept { dlclose(library); }
};
using Library = std::unique_ptr<void, LibraryCloser>;

constexpr char reinstall[] = "; install the tolvane-notify package again";

} // namespace

// Loading runs no thread and reads no file: the plug-in only builds two
// empty objects at load, and does its work when the host registers it.
CheckResult check_plugin(const char* path)
{
    const std::string file = path;
    struct stat status = {};
    if (::stat(path, &status) != 0) {
        const int error = errno;
        return {Verdict::fail, "plug-in",
            file + ": " + error_text(error)
                + "; install the tolvane-notify package, which puts it where the host loads it"};
    }
    const Library library(dlopen(path, RTLD_NOW | RTLD_LOCAL));
    if (!library) {
        const char* why = dlerror(); // NOLINT(concurrency-mt-unsafe): the check runs on one thread
        return {Verdict::fail, "plug-in", file + " does not load: " + (why ? why : "unknown error") + reinstall};
    }
    for (const char* entry : {"KRMRegister", "KRMUnregister"})
        if (!dlsym(library.get(), entry))
            return {Verdict::fail, "plug-in", file + " has no entry point " + entry + reinstall};
    return {Verdict::ok, "plug-in", file + " loads, with KRMRegister and KRMUnregister"};
}
