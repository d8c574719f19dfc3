// Preloaded into tv-mkprofile by its fault suites: the file system's answers
// that tmpfs never gives. strace's injection skips a call; this makes one
// and then fails it, as over NFS when the answer is lost or a link is sent
// twice, and refuses what a file system lacks without a call, so that
// strace's injection stays free for the faults.
// - TOLVANE_LACKS=WHAT,...: a file system without unnamed files (an open
//   with O_TMPFILE: EOPNOTSUPP), without a rename that takes flags
//   (renameat2 with flags: EINVAL), or without hard links (linkat: ENOSYS,
//   as FUSE answers where its server has none), for WHAT unnamed, rename2
//   and links; and random: a kernel without getrandom (ENOSYS), which a C
//   library that answers from the vDSO never asks, so strace cannot fail it.
// - TOLVANE_DONE_THEN_FAIL=CALL:ERRNO:N: the Nth call of CALL (renameat2,
//   linkat, unlinkat, fsync or close) that the program makes through the C
//   library is made, then returns -1 with errno ERRNO (a number).
// - TOLVANE_DONE_THEN_FAIL_LOG=PATH: each such call appends its name and a
//   line feed to PATH, so that a test can count them on a run without faults.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <typename F>
F real(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// The log goes through the kernel directly: the shim's own close would count.
void log_call(const char* name)
{
    const char* path = std::getenv("TOLVANE_DONE_THEN_FAIL_LOG");
    if (path == nullptr)
        return;
    const int fd
        = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
    if (fd < 0)
        return;
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%s\n", name);
    (void)::syscall(SYS_write, fd, line, static_cast<std::size_t>(n));
    (void)::syscall(SYS_close, fd);
}

unsigned long calls_of(const char* name)
{
    static unsigned long counts[5];
    static const char* const names[] = {"renameat2", "linkat", "unlinkat", "fsync", "close"};
    for (int i = 0; i < 5; ++i)
        if (std::strcmp(names[i], name) == 0)
            return ++counts[i];
    return 0;
}

// After the call: -1 with the chosen errno when this is the chosen call.
int judged(const char* name, int result)
{
    log_call(name);
    const unsigned long n = calls_of(name);
    const char* setting = std::getenv("TOLVANE_DONE_THEN_FAIL");
    if (setting == nullptr || result != 0)
        return result;
    const std::size_t length = std::strlen(name);
    if (std::strncmp(setting, name, length) != 0 || setting[length] != ':')
        return result;
    char* rest = nullptr;
    const long error = std::strtol(setting + length + 1, &rest, 10);
    if (*rest != ':' || std::strtoul(rest + 1, nullptr, 10) != n)
        return result;
    errno = static_cast<int>(error);
    return -1;
}

bool lacks(const char* what)
{
    const char* list = std::getenv("TOLVANE_LACKS");
    if (list == nullptr)
        return false;
    const std::size_t length = std::strlen(what);
    for (const char* at = std::strstr(list, what); at != nullptr; at = std::strstr(at + 1, what))
        if ((at == list || at[-1] == ',') && (at[length] == ',' || at[length] == '\0'))
            return true;
    return false;
}

int refused(int error)
{
    errno = error;
    return -1;
}

} // namespace

extern "C" {

int openat(int dir, const char* path, int flags, ...)
{
    // O_TMPFILE carries O_DIRECTORY: test for all of its bits.
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || unnamed) {
        va_list rest;
        va_start(rest, flags);
        mode = va_arg(rest, mode_t);
        va_end(rest);
    }
    if (unnamed && lacks("unnamed"))
        return refused(EOPNOTSUPP);
    return static_cast<int>(::syscall(SYS_openat, dir, path, flags, mode));
}

// The same entry under its large-file name.
int openat64(int dir, const char* path, int flags, ...) __attribute__((alias("openat")));

int renameat2(int olddir, const char* oldpath, int newdir, const char* newpath, unsigned int flags)
{
    using F = int (*)(int, const char*, int, const char*, unsigned int);
    static const F f = real<F>("renameat2");
    if (flags != 0 && lacks("rename2"))
        return refused(EINVAL);
    return judged("renameat2", f(olddir, oldpath, newdir, newpath, flags));
}

int linkat(int olddir, const char* oldpath, int newdir, const char* newpath, int flags)
{
    using F = int (*)(int, const char*, int, const char*, int);
    static const F f = real<F>("linkat");
    if (lacks("links"))
        return refused(ENOSYS);
    return judged("linkat", f(olddir, oldpath, newdir, newpath, flags));
}

int unlinkat(int dir, const char* path, int flags)
{
    using F = int (*)(int, const char*, int);
    static const F f = real<F>("unlinkat");
    return judged("unlinkat", f(dir, path, flags));
}

int fsync(int fd)
{
    using F = int (*)(int);
    static const F f = real<F>("fsync");
    return judged("fsync", f(fd));
}

int close(int fd)
{
    using F = int (*)(int);
    static const F f = real<F>("close");
    return judged("close", f(fd));
}

ssize_t getrandom(void* buffer, std::size_t length, unsigned int flags)
{
    using F = ssize_t (*)(void*, std::size_t, unsigned int);
    static const F f = real<F>("getrandom");
    return lacks("random") ? refused(ENOSYS) : f(buffer, length, flags);
}

} // extern "C"
