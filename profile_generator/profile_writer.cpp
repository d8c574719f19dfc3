#include "profile_writer.h"

#include "file_descriptor.h"
#include "temporary_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace {

// Owner read-write, read for the rest, less the umask: never more, so that a
// root-owned profile stays unwritable to others even under umask 0.
constexpr mode_t profile_mode = 0644;

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

// False when the name stays. A removal over the network may be done and
// its answer lost: the name tells.
bool remove_name(int dir, const std::string& name)
{
    if (::unlinkat(dir, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    struct stat st;
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT;
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

// A new name survives a crash only once its directory is on disk. One that
// cannot be made to is taken back: a failed run leaves nothing, and running
// the command again starts afresh instead of finding a profile whose name
// may vanish at the next power loss. The content under the name is whole and
// synced, so when the name cannot be taken back either, the profile is there.
CreateResult settle_or_take_back(int dir, const std::string& name)
{
    if (::fsync(dir) == 0 || !remove_name(dir, name))
        return CreateResult::created;
    return CreateResult::failed;
}

CreateResult create_exclusively(int dir, const std::string& name, std::string_view content)
{
    UniqueFd file(::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, profile_mode));
    if (file.fd < 0)
        return errno == EEXIST ? CreateResult::exists : CreateResult::failed;
    // From the create on, the name is there while its content may not be
    // yet. It was ours alone since the create, so taking it back on failure
    // removes nothing of anyone else's.
    const bool durable = write_durably(file.fd, content);
    if (file.close_checked() && durable)
        return settle_or_take_back(dir, name);
    return remove_name(dir, name) ? CreateResult::failed : CreateResult::left_partial;
}

enum class Naming { renamed, linked, exists, failed, unsupported };

// Gives the complete file its final name without ever replacing an entry.
// The rename moves the name in one step: no moment with two names, nothing
// left to remove. Where the file system's rename cannot refuse to replace,
// a hard link does the same in two. A call that reports an error may still
// have done its work (over NFS a lost answer gives EIO, a resent link
// EEXIST): the name tells, and then the temporary name is removed as after
// a link.
Naming give_final_name(int dir, const std::string& temporary, const std::string& name, int fd)
{
    if (::renameat2(dir, temporary.c_str(), dir, name.c_str(), RENAME_NOREPLACE) == 0)
        return Naming::renamed;
    const int rename_error = errno;
    if (names_file(dir, name, fd))
        return Naming::linked;
    if (rename_error == EEXIST)
        return Naming::exists;
    // EINVAL: a rename that takes no flags; ENOSYS: a kernel before 3.15.
    if (rename_error != EINVAL && rename_error != ENOSYS)
        return Naming::failed;
    if (::linkat(dir, temporary.c_str(), dir, name.c_str(), 0) == 0)
        return Naming::linked;
    const int link_error = errno;
    if (names_file(dir, name, fd))
        return Naming::linked;
    if (link_error == EEXIST)
        return Naming::exists;
    // A file system without hard links: EPERM and EOPNOTSUPP, and ENOSYS
    // from FUSE where the server has none (sshfs).
    return link_error == EPERM || link_error == EOPNOTSUPP || link_error == ENOSYS ? Naming::unsupported
                                                                                   : Naming::failed;
}

CreateResult create_under_temporary_name(int dir, const std::string& name, std::string_view content)
{
    remove_stale_temporaries(dir);
    std::string temporary;
    // Holds the lock, and so the temporary name, until the run is done with it.
    const UniqueFd held(create_temporary(dir, profile_mode, temporary));
    if (held.fd < 0)
        return CreateResult::failed;
    // From here on, whatever stops the run leaves at most the temporary
    // name, which no one takes for a profile and a later run removes.
    UniqueFd file(::fcntl(held.fd, F_DUPFD_CLOEXEC, 0));
    const bool durable = file.fd >= 0 && write_durably(file.fd, content);
    if (file.fd < 0 || !file.close_checked() || !durable) {
        (void)remove_name(dir, temporary);
        return CreateResult::failed;
    }
    CreateResult result = CreateResult::failed;
    switch (give_final_name(dir, temporary, name, held.fd)) {
    case Naming::renamed:
        return settle_or_take_back(dir, name);
    case Naming::linked:
        result = settle_or_take_back(dir, name);
        break;
    case Naming::exists:
        result = CreateResult::exists;
        break;
    case Naming::failed:
        break;
    case Naming::unsupported:
        (void)remove_name(dir, temporary);
        return create_exclusively(dir, name, content);
    }
    (void)remove_name(dir, temporary);
    return result;
}

enum class LinkResult { linked, exists, failed, unsupported };

// As with give_final_name, a link that reports an error is judged by the name.
LinkResult link_into_place(int fd, int dir, const std::string& name)
{
    // Linking by descriptor needs CAP_DAC_READ_SEARCH; the /proc alias does not.
    if (::linkat(fd, "", dir, name.c_str(), AT_EMPTY_PATH) == 0)
        return LinkResult::linked;
    const int by_descriptor = errno;
    if (names_file(dir, name, fd))
        return LinkResult::linked;
    if (by_descriptor == EEXIST)
        return LinkResult::exists;
    if (by_descriptor != ENOENT && by_descriptor != EPERM)
        return LinkResult::failed;
    const std::string alias = "/proc/self/fd/" + std::to_string(fd);
    if (::linkat(AT_FDCWD, alias.c_str(), dir, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return LinkResult::linked;
    const int through_proc = errno;
    if (names_file(dir, name, fd))
        return LinkResult::linked;
    if (through_proc == EEXIST)
        return LinkResult::exists;
    // Without /proc there is no way to name the file: let the caller fall back.
    return through_proc == ENOENT ? LinkResult::unsupported : LinkResult::failed;
}

CreateResult create_unnamed_then_link(int dir, const std::string& name, std::string_view content)
{
    UniqueFd file(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, profile_mode));
    if (file.fd < 0) {
        // EISDIR is how kernels that predate unnamed files answer.
        if (errno == EOPNOTSUPP || errno == EISDIR)
            return create_under_temporary_name(dir, name, content);
        return CreateResult::failed;
    }
    // Until it is linked the file has no name: on any failure it simply
    // vanishes with the descriptor.
    if (!write_durably(file.fd, content))
        return CreateResult::failed;
    switch (link_into_place(file.fd, dir, name)) {
    case LinkResult::linked:
        break;
    case LinkResult::exists:
        return CreateResult::exists;
    case LinkResult::failed:
        return CreateResult::failed;
    case LinkResult::unsupported:
        return create_under_temporary_name(dir, name, content);
    }
    if (!file.close_checked())
        return remove_name(dir, name) ? CreateResult::failed : CreateResult::created;
    return settle_or_take_back(dir, name);
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
    switch (method) {
    case CreateMethod::unnamed_then_link:
        break;
    case CreateMethod::temporary_name:
        return create_under_temporary_name(dir.fd, place.name, content);
    case CreateMethod::exclusive:
        return create_exclusively(dir.fd, place.name, content);
    }
    return create_unnamed_then_link(dir.fd, place.name, content);
}
