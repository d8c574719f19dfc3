// Private namespaces for the tests and the demonstration, so that the fixed
// paths the programs use (/etc/tolvane.d, /sys/kernel/security, /dev/log)
// can be supplied without touching the host.
#pragma once

#include "status.h"

#include <string>

namespace rig {

// Where a call fails for want of the place (a namespace or a mount
// refused, a directory missing), its status is unavailable_here, so that a
// suite skips rather than fails.

// Moves the calling process into a private mount namespace (and a user
// namespace mapping the caller to root when it is not root already), with
// all mounts private. Must be called before any thread is started.
Status enter_private_namespaces();

// Succeeds when enter_private_namespaces() may work here, else says why it
// cannot:
// the kernel refuses a user namespace to a process inside a chroot (a build
// chroot's unprivileged user) and where the system turns them off, and a
// mount namespace to a process without CAP_SYS_ADMIN (a container). Tries
// in a child process, so the caller stays where it is; call it before any
// thread is started.
Status private_namespaces_available();

// The magic number (<linux/magic.h>) of the file system `path` is on, or 0
// where there is no such path.
long file_system_type(const std::string& path);

// Succeeds where systemd's daemons (journald, logind) find a cgroup
// hierarchy at /sys/fs/cgroup, which they need to start; else says it is
// missing.
rig::Status cgroup_hierarchy_available();

// Lays a writable overlay over `dir` whose changes live under `scratch`
// (a fresh directory); the host's `dir` is never written.
Status overlay_directory(const std::string& dir, const std::string& scratch);

// Mounts a fresh tmpfs at `dir` with the given mount data ("size=4k", ...).
Status mount_tmpfs(const std::string& dir, const std::string& data, bool read_only = false);

// Makes the directory `dir` exist and writable in this mount namespace
// without touching the host: an overlay on the deepest directory of that
// path the host has, whose changes live under `scratch` (a fresh
// directory), then the missing directories below it.
Status make_private_directory(const std::string& dir, const std::string& scratch);

// Lazily detaches whatever is mounted at `dir`.
Status unmount(const std::string& dir);

// Creates a fresh directory under $TMPDIR (or /tmp); `path` receives its path.
Status make_temp_dir(const std::string& prefix, std::string& path);

// Removes a directory tree, never crossing into a mount below it; errors
// are ignored.
void remove_tree(const std::string& path);

// Bind-mounts the file or directory `source` onto `target`, which must exist.
Status bind_mount(const std::string& source, const std::string& target);

// Replaces /dev by a private tmpfs that holds only what a test program
// needs: null, zero, full, random, urandom and tty (when the host has them)
// bound from the host, the fd/stdin/stdout/stderr links, and a tmpfs on
// /dev/shm. Nothing else is there, in particular no /dev/log, so the caller
// can bind its own. `scratch` is an empty directory used while the host's
// /dev is moved aside. Call inside a private mount namespace.
Status private_dev(const std::string& scratch);

} // namespace rig
