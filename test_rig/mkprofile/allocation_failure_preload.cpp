// Preloaded into tv-mkprofile and the plug-in's host by their tests, for
// what only a failing allocation or file system reaches:
// - TOLVANE_FAIL_ALLOCATION=N: the Nth allocation that main() asks for
//   (through operator new in any form, or calloc) fails, as when memory has
//   run out; every other one is made as usual. The count starts with main(),
//   never in the C and C++ runtimes' own start-up, and does not depend on
//   how a C++ library grows its strings: a sweep over N meets every one.
// - TOLVANE_FAIL_ALLOCATION_AFTER_DLOPEN=N: the same for the Nth allocation
//   that the main thread asks for once its first dlopen has returned and
//   until main() returns, through malloc, realloc and calloc as well: what
//   a plug-in and the C libraries it calls allocate on the host's thread.
//   Other threads, whose turns the scheduler decides, are never counted.
// - TOLVANE_FAIL_CLOSE_AFTER_DLOPEN=N: the Nth close that the main thread
//   makes through the C library's close in the same span closes the
//   descriptor and then reports EIO, as a file system may.
// With TOLVANE_ALLOCATION_REPORT=PATH, the stack of the call that fails is
// written to PATH, one frame a line, and at exit "allocations: N" and
// "closes: N", the numbers the main thread made after its first dlopen.
// - TOLVANE_REFUSE_UNNAMED_FILES=1: every open of an unnamed file (O_TMPFILE)
//   fails with EOPNOTSUPP, as on a file system that cannot hold one.
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_realloc(void* p, std::size_t size);

namespace {

using Main = int (*)(int, char**, char**);

Main program_main = nullptr;
std::atomic<bool> counting{false};
std::atomic<unsigned long> allocations{0};
unsigned long failing = 0; // 0: none fails
unsigned long failing_after_dlopen = 0; // 0: none fails
pthread_t main_thread;
std::atomic<bool> loaded{false}; // the main thread's first dlopen has returned
unsigned long main_thread_allocations = 0;
unsigned long failing_close = 0; // 0: none fails
unsigned long main_thread_closes = 0;
int report = -1;

// Read once, before main(): getenv allocates nothing, so it is safe here.
void read_settings()
{
    if (const char* n = std::getenv("TOLVANE_FAIL_ALLOCATION"))
        failing = std::strtoul(n, nullptr, 10);
    if (const char* n = std::getenv("TOLVANE_FAIL_ALLOCATION_AFTER_DLOPEN"))
        failing_after_dlopen = std::strtoul(n, nullptr, 10);
    if (const char* n = std::getenv("TOLVANE_FAIL_CLOSE_AFTER_DLOPEN"))
        failing_close = std::strtoul(n, nullptr, 10);
    if (const char* path = std::getenv("TOLVANE_ALLOCATION_REPORT")) {
        report = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        // The first backtrace loads the unwinder, which allocates.
        void* frames[1];
        (void)backtrace(frames, 1);
    }
}

// Writes nothing that allocates: the frames go straight to the descriptor.
void report_stack()
{
    if (report < 0)
        return;
    void* frames[64];
    backtrace_symbols_fd(frames, backtrace(frames, 64), report);
}

__attribute__((destructor)) void report_count()
{
    if (report < 0)
        return;
    char line[96];
    const int n = std::snprintf(
        line, sizeof line, "allocations: %lu\ncloses: %lu\n", main_thread_allocations, main_thread_closes);
    (void)!::write(report, line, static_cast<std::size_t>(n));
}

int counting_main(int argc, char** argv, char** envp)
{
    read_settings();
    main_thread = pthread_self();
    counting = true;
    const int status = program_main(argc, argv, envp);
    // What runs at exit is the runtime's (a coverage build writes its
    // counters then), not the program's: it is neither counted nor failed.
    loaded = false;
    return status;
}

bool on_main_thread_after_dlopen()
{
    return loaded && pthread_equal(pthread_self(), main_thread);
}

bool fails_after_dlopen()
{
    if (failing_after_dlopen == 0 || !loaded || !pthread_equal(pthread_self(), main_thread)
        || ++main_thread_allocations != failing_after_dlopen)
        return false;
    report_stack();
    errno = ENOMEM;
    return true;
}

bool fails()
{
    if (fails_after_dlopen())
        return true;
    if (!counting || failing == 0 || ++allocations != failing)
        return false;
    errno = ENOMEM;
    return true;
}

bool refuses_unnamed(int flags)
{
    const char* refuse = std::getenv("TOLVANE_REFUSE_UNNAMED_FILES");
    return refuse != nullptr && *refuse == '1' && (flags & O_TMPFILE) == O_TMPFILE;
}

void* allocate(std::size_t size)
{
    return fails() ? nullptr : __libc_malloc(size == 0 ? 1 : size);
}

void* allocate_or_throw(std::size_t size)
{
    void* p = allocate(size);
    if (p == nullptr)
        throw std::bad_alloc();
    return p;
}

int open_at(int dir, const char* path, int flags, va_list rest)
{
    // O_TMPFILE carries O_DIRECTORY: test for all of its bits.
    const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(rest, mode_t) : 0;
    if (refuses_unnamed(flags)) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_openat, dir, path, flags, mode));
}

} // namespace

// The program's start goes through here, so that the count begins with main().
#if defined(__powerpc__)
// The C library's start on POWER takes main() inside a block of its own.
namespace {
struct StartupInfo {
    void* sda_base;
    Main main;
    void* init;
    void* fini;
};
using PowerStartMain = int (*)(int, char**, char**, void*, void (*)(), StartupInfo*, char**);
} // namespace

extern "C" int __libc_start_main(
    int argc, char** argv, char** envp, void* auxv, void (*rtld_fini)(), StartupInfo* info, char** stack_on_entry)
{
    program_main = info->main;
    StartupInfo counted = *info;
    counted.main = counting_main;
    const auto next = reinterpret_cast<PowerStartMain>(::dlsym(RTLD_NEXT, "__libc_start_main"));
    return next(argc, argv, envp, auxv, rtld_fini, &counted, stack_on_entry);
}
#else
using StartMain = int (*)(Main, int, char**, void (*)(), void (*)(), void (*)(), void*);

extern "C" int __libc_start_main(
    Main main, int argc, char** argv, void (*init)(), void (*fini)(), void (*rtld_fini)(), void* stack_end)
{
    program_main = main;
    const auto next = reinterpret_cast<StartMain>(::dlsym(RTLD_NEXT, "__libc_start_main"));
    return next(counting_main, argc, argv, init, fini, rtld_fini, stack_end);
}
#endif

extern "C" void* calloc(std::size_t count, std::size_t size)
{
    return fails() ? nullptr : __libc_calloc(count, size);
}

// Counted in the second mode only: the first one's counts stay as they were.
extern "C" void* malloc(std::size_t size)
{
    return fails_after_dlopen() ? nullptr : __libc_malloc(size);
}

extern "C" void* realloc(void* p, std::size_t size)
{
    return fails_after_dlopen() ? nullptr : __libc_realloc(p, size);
}

extern "C" int close(int fd)
{
    const int r = static_cast<int>(::syscall(SYS_close, fd));
    if (r != 0 || !on_main_thread_after_dlopen() || ++main_thread_closes != failing_close)
        return r;
    report_stack();
    errno = EIO;
    return -1;
}

extern "C" void* dlopen(const char* file, int mode)
{
    using Dlopen = void* (*)(const char*, int);
    static const auto next = reinterpret_cast<Dlopen>(::dlsym(RTLD_NEXT, "dlopen"));
    void* handle = next(file, mode);
    if (counting && pthread_equal(pthread_self(), main_thread))
        loaded = true;
    return handle;
}

void* operator new(std::size_t size)
{
    return allocate_or_throw(size);
}

void* operator new[](std::size_t size)
{
    return allocate_or_throw(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    return allocate(size);
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete[](void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

extern "C" int openat(int dir, const char* path, int flags, ...)
{
    va_list rest;
    va_start(rest, flags);
    const int fd = open_at(dir, path, flags, rest);
    va_end(rest);
    return fd;
}

// The same entry under its large-file name.
extern "C" int openat64(int dir, const char* path, int flags, ...) __attribute__((alias("openat")));
