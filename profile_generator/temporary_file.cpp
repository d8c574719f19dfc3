#include "temporary_file.h"

#include "file_descriptor.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

// Random names clash only when something clashes on purpose; the exclusive
// create notices, and a few more names settle it.
constexpr int temporary_name_attempts = 16;

struct DirCloser {
    void operator()(DIR* d) const noexcept { (void)::closedir(d); }
};

// 64 bits that no other run draws, in this PID namespace or another. Where
// the kernel gives none (before 3.17, or its pool not yet ready at early
// boot), the clock and the process id stand in: a clash then costs an attempt.
std::uint64_t random_bits(int attempt)
{
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits))
        return bits;
    timespec now{};
    (void)::clock_gettime(CLOCK_REALTIME, &now);
    return (static_cast<std::uint64_t>(now.tv_sec) << 30) ^ static_cast<std::uint64_t>(now.tv_nsec)
        ^ (static_cast<std::uint64_t>(::getpid()) << 42) ^ (static_cast<std::uint64_t>(attempt) * 0x9e3779b97f4a7c15u);
}

std::string random_name(int attempt)
{
    char hex[17];
    (void)std::snprintf(hex, sizeof hex, "%016" PRIx64, random_bits(attempt));
    return std::string(temporary_name_prefix) + hex;
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

enum class Hold { held, lost };

// A cleaning run may have opened the file between its create and this lock:
// then it has removed the name, or holds the lock and will.
Hold lock_own(int dir, const std::string& name, int fd)
{
    int r;
    while ((r = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) { }
    if (r != 0)
        // A file system without locks (NFS without its lock daemon) makes
        // the run go on unlocked: no cleaning run can lock it either, so
        // none removes it.
        return errno == EWOULDBLOCK ? Hold::lost : Hold::held;
    // The name is random: what is under it, if anything, is this file, and
    // where it cannot be looked at the run goes on.
    struct stat at;
    struct stat open;
    if (::fstatat(dir, name.c_str(), &at, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Hold::lost : Hold::held;
    return ::fstat(fd, &open) != 0 || same_file(at, open) ? Hold::held : Hold::lost;
}

void remove_if_stale(int dir, const std::string& name)
{
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return;
    const UniqueFd file(::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.fd < 0 || ::flock(file.fd, LOCK_EX | LOCK_NB) != 0)
        return;
    // Locked, so no live run holds it; the name must still be this file, or
    // another run's may be going in its place.
    if (::fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode) && names_file(dir, name, file.fd))
        (void)::unlinkat(dir, name.c_str(), 0);
}

} // namespace

bool names_file(int dir, const std::string& name, int fd)
{
    struct stat at;
    struct stat open;
    return ::fstatat(dir, name.c_str(), &at, AT_SYMLINK_NOFOLLOW) == 0 && ::fstat(fd, &open) == 0
        && same_file(at, open);
}

int create_temporary(int dir, mode_t mode, std::string& name)
{
    for (int attempt = 0; attempt < temporary_name_attempts; ++attempt) {
        name = random_name(attempt);
        UniqueFd file(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (file.fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        if (lock_own(dir, name, file.fd) == Hold::held)
            return file.release();
    }
    return -1;
}

void remove_stale_temporaries(int dir)
{
    const int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    const std::unique_ptr<DIR, DirCloser> listing(::fdopendir(fd));
    if (!listing) {
        (void)::close(fd);
        return;
    }
    // Named first, removed after: the listing of a directory that changes
    // meanwhile may skip entries.
    std::vector<std::string> candidates;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): the listing is this thread's alone.
    while (const dirent* entry = ::readdir(listing.get()))
        if (std::string_view(entry->d_name).starts_with(temporary_name_prefix))
            candidates.emplace_back(entry->d_name);
    for (const auto& name : candidates)
        remove_if_stale(dir, name);
}
