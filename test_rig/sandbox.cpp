#include "sandbox.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
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

namespace sandbox {
namespace {

std::string failure(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

std::string write_file(const char* path, const std::string& text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return failure(std::string("open ") + path);
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int saved = errno;
    ::close(fd);
    errno = saved;
    if (n != static_cast<ssize_t>(text.size()))
        return failure(std::string("write ") + path);
    return {};
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
std::string root_of_our_own()
{
    const std::string base = some_mount_point();
    if (base.empty())
        return "/ is not a mount point (a chroot), and nothing is mounted here to hold a root of its own";
    if (::mount(nullptr, base.c_str(), nullptr, MS_PRIVATE, nullptr) != 0)
        return failure("mount --make-private " + base);
    if (auto e = mount_tmpfs(base, "mode=0700"); !e.empty())
        return e;
    const std::string root = base + "/root";
    if (::mkdir(root.c_str(), 0755) != 0)
        return failure("mkdir " + root);
    if (::mount("/", root.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return failure("bind / on " + root);
    if (::chdir(root.c_str()) != 0 || ::chroot(".") != 0 || ::chdir("/") != 0)
        return failure("chroot " + root);
    // The copy holds the stacked tmpfs too; what it hid comes back.
    if (auto e = unmount(base); !e.empty())
        return e;
    return {};
}

} // namespace

std::string private_namespaces_missing()
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
        return {};
    const int error = WIFEXITED(status) ? WEXITSTATUS(status) : EINVAL;
    return std::string(namespace_call()) + " is refused here: " + std::strerror(error)
        + (::geteuid() == 0 ? " (no CAP_SYS_ADMIN)" : " (inside a chroot, or user namespaces are off)");
}

std::string enter_private_namespaces()
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(namespace_flags()) != 0)
        return failure(namespace_call());
    if (uid != 0) {
        if (auto e = write_file("/proc/self/setgroups", "deny"); !e.empty())
            return e;
        if (auto e = write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1"); !e.empty())
            return e;
        if (auto e = write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"); !e.empty())
            return e;
    }
    // Nothing mounted from here on may leak back to the host.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0)
        return {};
    if (errno != EINVAL)
        return failure("mount --make-rprivate /");
    if (auto e = root_of_our_own(); !e.empty())
        return e;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return failure("mount --make-rprivate / (a root of its own)");
    return {};
}

std::string overlay_directory(const std::string& dir, const std::string& scratch)
{
    const std::string upper = scratch + "/upper";
    const std::string work = scratch + "/work";
    for (const auto& d : {upper, work})
        if (::mkdir(d.c_str(), 0755) != 0 && errno != EEXIST)
            return failure("mkdir " + d);
    const std::string data = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    if (::mount("overlay", dir.c_str(), "overlay", 0, data.c_str()) != 0)
        return failure("mount overlay on " + dir);
    return {};
}

std::string make_private_directory(const std::string& dir, const std::string& scratch)
{
    std::filesystem::path existing = dir;
    while (!std::filesystem::is_directory(existing))
        existing = existing.parent_path();
    if (auto e = overlay_directory(existing.string(), scratch); !e.empty())
        return e;
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        return "mkdir " + dir + ": " + ec.message();
    return {};
}

std::string mount_tmpfs(const std::string& dir, const std::string& data, bool read_only)
{
    unsigned long flags = MS_NOSUID | MS_NODEV;
    if (read_only)
        flags |= MS_RDONLY;
    if (::mount("tmpfs", dir.c_str(), "tmpfs", flags, data.empty() ? nullptr : data.c_str()) != 0)
        return failure("mount tmpfs on " + dir);
    return {};
}

std::string unmount(const std::string& dir)
{
    if (::umount2(dir.c_str(), MNT_DETACH) != 0)
        return failure("umount " + dir);
    return {};
}

std::string make_temp_dir(const std::string& prefix)
{
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/" + prefix + ".XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr)
        return {};
    return buf.data();
}

void remove_tree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

std::string bind_mount(const std::string& source, const std::string& target)
{
    if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return failure("bind " + source + " on " + target);
    return {};
}

std::string private_dev(const std::string& scratch)
{
    // The host's device nodes are bound back rather than created: mknod is
    // refused inside a user namespace, and a bind mount works as root too.
    const std::string old_dev = scratch + "/old-dev";
    if (::mkdir(old_dev.c_str(), 0755) != 0)
        return failure("mkdir " + old_dev);
    if (::mount("/dev", old_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        return failure("bind /dev on " + old_dev);
    if (auto e = mount_tmpfs("/dev", "mode=0755,size=1m"); !e.empty())
        return e;
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        const std::string source = old_dev + "/" + node;
        const std::string target = std::string("/dev/") + node;
        if (::access(source.c_str(), F_OK) != 0)
            continue;
        const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return failure("create " + target);
        ::close(fd);
        if (auto e = bind_mount(source, target); !e.empty())
            return e;
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
    if (auto e = mount_tmpfs("/dev/shm", "mode=1777"); !e.empty())
        return e;
    if (auto e = unmount(old_dev); !e.empty())
        return e;
    ::rmdir(old_dev.c_str());
    return {};
}

} // namespace sandbox
