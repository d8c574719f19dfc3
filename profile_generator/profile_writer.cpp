#include "profile_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <string>

namespace {

// Owner read-write, read for the rest, less the umask: never more, so that a
// root-owned profile stays unwritable to others even under umask 0.
constexpr mode_t profile_mode = 0644;

struct UniqueFd {
    int fd = -1;
    explicit UniqueFd(int f) : fd(f) { }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // Closes now and reports whether the kernel accepted the file's data.
    bool close_checked()
    {
        const int f = fd;
        fd = -1;
        return ::close(f) == 0;
    }
};

bool write_all(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Written and on disk, so a crash never leaves a named but empty profile.
bool write_durably(int fd, std::string_view content)
{
    return write_all(fd, content) && ::fsync(fd) == 0;
}

struct Place {
    std::string directory;
    std::string name;
};

Place place_of(const std::string& path)
{
    const auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

enum class LinkResult { linked, exists, failed, unsupported };

LinkResult link_into_place(int fd, int dir, const std::string& name)
{
    // Linking by descriptor needs CAP_DAC_READ_SEARCH; the /proc alias does not.
    if (::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0)
        return LinkResult::linked;
    if (errno == EEXIST)
        return LinkResult::exists;
    if (errno != ENOENT && errno != EPERM)
        return LinkResult::failed;
    const std::string alias = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, alias.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return LinkResult::linked;
    if (errno == EEXIST)
        return LinkResult::exists;
    // Without /proc there is no way to name the file: let the caller fall back.
    return errno == ENOENT ? LinkResult::unsupported : LinkResult::failed;
}

// A new name survives a crash only once its directory is on disk. One that
// cannot be made to is taken back: a failed run leaves nothing, and running
// the command again starts afresh instead of finding a profile whose name
// may vanish at the next power loss.
CreateResult settle_or_take_back(bool written, int dir, const std::string& name)
{
    if (written && ::fsync(dir) == 0)
        return CreateResult::created;
    ::unlinkat(dir, name.c_str(), 0);
    return CreateResult::failed;
}

// Holds back every signal that can be held, from construction to
// destruction, then restores the caller's mask, so that a signal that came
// meanwhile acts then. SIGKILL and SIGSTOP cannot be held.
struct HeldSignals {
    sigset_t caller;
    HeldSignals()
    {
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &caller);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals() { ::pthread_sigmask(SIG_SETMASK, &caller, nullptr); }
};

CreateResult create_exclusively(int dir, const std::string& name, std::string_view content)
{
    // From the create on, the profile's name is there while its content may
    // not be yet: a signal that ended the run then would leave an empty or
    // partial profile, and every later run would find it and stop.
    const HeldSignals held;
    UniqueFd file(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, profile_mode));
    if (file.fd < 0)
        return errno == EEXIST ? CreateResult::exists : CreateResult::failed;
    // The name was ours alone since the exclusive create, so taking it back
    // on failure removes nothing of anyone else's.
    const bool complete = write_durably(file.fd, content);
    return settle_or_take_back(file.close_checked() && complete, dir, name);
}

} // namespace

bool entry_exists(const std::string& path)
{
    struct stat st;
    return ::fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

CreateResult create_profile(const std::string& path, std::string_view content, CreateMethod method)
{
    const Place place = place_of(path);
    const UniqueFd dir(::open(place.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return CreateResult::failed;
    if (method == CreateMethod::exclusive)
        return create_exclusively(dir.fd, place.name, content);

    UniqueFd file(::openat(dir.fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, profile_mode));
    if (file.fd < 0) {
        // EISDIR is how kernels that predate unnamed files answer.
        if (errno == EOPNOTSUPP || errno == EISDIR)
            return create_exclusively(dir.fd, place.name, content);
        return CreateResult::failed;
    }
    // Until it is linked the file has no name: on any failure it simply
    // vanishes with the descriptor.
    if (!write_durably(file.fd, content))
        return CreateResult::failed;
    switch (link_into_place(file.fd, dir.fd, place.name)) {
    case LinkResult::linked:
        break;
    case LinkResult::exists:
        return CreateResult::exists;
    case LinkResult::failed:
        return CreateResult::failed;
    case LinkResult::unsupported:
        return create_exclusively(dir.fd, place.name, content);
    }
    return settle_or_take_back(file.close_checked(), dir.fd, place.name);
}
