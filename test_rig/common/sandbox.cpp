#include "sandbox.h"

#include <fcntl.h>
#include <ftw.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace rig {
namespace {

Status failure(const std::string& what)
{
    return Status::failed_errno(what);
}

// For the calls a place may refuse: mounts, the id maps, chroot.
rig::Status refusal(const std::string& what)
{
    return rig::Status::refused_errno(what);
}

rig::Status write_file(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return refusal(std::string("open ") + path);
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (n != static_cast<ssize_t>(text.size()))
        return refusal(std::string("write ") + path);
    return rig::Status::ok();
}

int namespace_flags()
{
    return ::geteuid() == 0 ? CLONE_NEWNS : CLONE_NEWUSER | CLONE_NEWNS;
}

const char* namespace_call()
{
    return ::geteuid() == 0 ? "unshare(CLONE_NEWNS)" : "unshare(CLONE_NEWUSER|CLONE_NEWNS)";
}

// The first directory, other than "/", that something is mounted on here.
std::string some_mount_point()
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mount_point;
        fields >> id >> parent >> device >> root >> mount_point;
        // Spaces and the like come octal-escaped; such a path is not needed.
        if (mount_point == "/" || mount_point.find('\\') != std::string::npos)
            continue;
        if (std::filesystem::is_directory(mount_point))
            return mount_point;
    }
    return {};
}

// In a chroot "/" is no mount point: it cannot be made private, and what is
// mounted on its directories joins the propagation of a mount outside the
// chroot, which nothing in here can see or change. So the process moves
// into a copy of its root that is a mount point of its own: a bind of "/",
// held by a tmpfs stacked on a mount that it can see and first makes
// private, so that nothing of this reaches another namespace.
Status root_of_our_own()
{
    const std::string base = some_mount_point();
    if (base.empty())
        return rig::Status::unavailable(
            "/ is not a mount point (a chroot), and nothing is mounted here to hold a root of its own");
    if (::mount(nullptr, base.c_str(), nullptr, MS_PRIVATE, nullptr) != 0)
        return refusal("mount --make-private " + base);
    if (auto s = mount_tmpfs(base, "mode=0700"); !s)
        return s;
    const std::string root = base + "/root";
    if (::mkdir(root.c_str(), 0755) != 0)
        return failure("mkdir " + root);
    if (::mount("/", root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return refusal("bind / on " + root);
    if (::chdir(root.c_str()) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0)
        return refusal("chroot " + root);
    // The copy holds the stacked tmpfs too; what it hid comes back.
    if (auto s = unmount(base); !s)
        return s;
    return Status::ok();
}

} // namespace

Status private_namespaces_available()
{
    const pid_t child = ::fork();
    if (child < 0)
        return failure("fork");
    if (child == 0)
        ::_exit(::unshare(namespace_flags()) == 0 ? 0 : errno);
    int status = 0;
    pid_t waited = 0;
    do
        waited = ::waitpid(child, &status, 0);
    while (waited < 0 && errno == EINTR);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return Status::ok();
    const int error = WIFEXITED(status) ? WEXITSTATUS(status) : EINVAL;
    return rig::Status::unavailable(std::string(namespace_call()) + " is refused here: " + std::strerror(error)
        + (::geteuid() == 0 ? " (no CAP_SYS_ADMIN, or a seccomp profile)"
                            : " (inside a chroot, user namespaces are off, or a seccomp profile)"));
}

Status enter_private_namespaces()
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(namespace_flags()) != 0) {
        auto s = failure(namespace_call());
        s.unavailable_here = true;
        return s;
    }
    if (uid != 0) {
        if (auto s = write_file("/proc/self/setgroups", "deny"); !s)
            return s;
        if (auto s = write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1"); !s)
            return s;
        if (auto s = write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"); !s)
            return s;
    }
    // Nothing mounted from here on may leak back to the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return Status::ok();
    if (errno != EINVAL)
        return refusal("mount --make-rprivate /");
    if (auto s = root_of_our_own(); !s)
        return s;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return refusal("mount --make-rprivate / (a root of its own)");
    return rig::Status::ok();
}

long file_system_type(const std::string& path)
{
    struct statfs fs = {};
    return ::statfs(path.c_str(), &fs) == 0 ? static_cast<long>(fs.f_type) : 0;
}

rig::Status cgroup_hierarchy_available()
{
    const long root = file_system_type("/sys/fs/cgroup");
    if (root == CGROUP2_SUPER_MAGIC)
        return rig::Status::ok();
    // The hybrid and v1 layouts: a tmpfs holding the hierarchies.
    if (root == TMPFS_MAGIC
        && (file_system_type("/sys/fs/cgroup/unified") == CGROUP2_SUPER_MAGIC
            || file_system_type("/sys/fs/cgroup/systemd") == CGROUP_SUPER_MAGIC))
        return rig::Status::ok();
    return rig::Status::unavailable("no cgroup hierarchy: /sys/fs/cgroup is neither a cgroup2 file system nor a tmpfs "
                                    "holding systemd's (a chroot, or /sys bound without its submounts)");
}

rig::Status overlay_directory(const std::string& dir, const std::string& scratch)
{
    const std::string upper = scratch + "/upper";
    const std::string work = scratch + "/work";
    for (const auto& d : {upper, work})
        if (::mkdir(d.c_str(), 0755) != 0 && errno != EEXIST)
            return failure("mkdir " + d);
    const std::string data = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    if (::mount("overlay", dir.c_str(), "overlay", 0, data.c_str()) != 0)
        return refusal("mount overlay on " + dir);
    return rig::Status::ok();
}

Status make_private_directory(const std::string& dir, const std::string& scratch)
{
    std::filesystem::path existing = dir;
    while (!std::filesystem::is_directory(existing))
        existing = existing.parent_path();
    if (auto s = overlay_directory(existing.string(), scratch); !s)
        return s;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        return Status::failed("mkdir " + dir + ": " + ec.message());
    return Status::ok();
}

Status mount_tmpfs(const std::string& dir, const std::string& data, bool read_only)
{
    unsigned long flags = MS_NOSUID | MS_NODEV;
    if (read_only)
        flags |= MS_RDONLY;
    if (::mount("tmpfs", dir.c_str(), "tmpfs", flags, data.empty() ? nullptr : data.c_str()) != 0)
        return refusal("mount tmpfs on " + dir);
    return rig::Status::ok();
}

Status unmount(const std::string& dir)
{
    if (::umount2(dir.c_str(), MNT_DETACH) != 0)
        return refusal("umount " + dir);
    return rig::Status::ok();
}

Status make_temp_dir(const std::string& prefix, std::string& path)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        return failure("mkdtemp " + tmpl);
    path = buf.data();
    return Status::ok();
}

namespace {

int remove_entry(const char* path, const struct stat*, int, FTW*)
{
    (void)::remove(path);
    return 0;
}

} // namespace

void remove_tree(const std::string& path)
{
    // Depth first, and never below a mount point: what is mounted there
    // (a bind of the host's /dev, say) is not ours to empty.
    (void)::nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

Status bind_mount(const std::string& source, const std::string& target)
{
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return refusal("bind " + source + " on " + target);
    return rig::Status::ok();
}

namespace {

// Fills the fresh tmpfs on /dev from the host's /dev, bound at `old_dev`.
rig::Status populate_dev(const std::string& old_dev)
{
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        const std::string source = old_dev + "/" + node;
        const std::string target = std::string("/dev/") + node;
        if (::access(source.c_str(), F_OK) != 0)
            continue;
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return failure("create " + target);
        ::close(fd);
        if (auto s = bind_mount(source, target); !s)
            return s;
    }
    const std::pair<const char*, const char*> links[] = {
        {"/proc/self/fd", "/dev/fd"},
        {"/proc/self/fd/0", "/dev/stdin"},
        {"/proc/self/fd/1", "/dev/stdout"},
        {"/proc/self/fd/2", "/dev/stderr"},
    };
    for (const auto& [to, from] : links)
        if (::symlink(to, from) != 0)
            return failure(std::string("symlink ") + from);
    if (::mkdir("/dev/shm", 01777) != 0)
        return failure("mkdir /dev/shm");
    return mount_tmpfs("/dev/shm", "mode=1777");
}

} // namespace

rig::Status private_dev(const std::string& scratch)
{
    // The host's device nodes are bound back rather than created: mknod is
    // refused inside a user namespace, and a bind mount works as root too.
    const std::string old_dev = scratch + "/old-dev";
    if (::mkdir(old_dev.c_str(), 0755) != 0)
        return failure("mkdir " + old_dev);
    if (::mount("/dev", old_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return refusal("bind /dev on " + old_dev);
    rig::Status s = mount_tmpfs("/dev", "mode=0755,size=1m");
    if (s)
        s = populate_dev(old_dev);
    // Unbound whatever failed: the scratch directory is removed next.
    const rig::Status unbound = unmount(old_dev);
    if (!s)
        return s;
    if (!unbound)
        return unbound;
    ::rmdir(old_dev.c_str());
    return Status::ok();
}

} // namespace rig
