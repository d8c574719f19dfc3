// Private namespaces for the tests and the demonstration, so that the fixed
// paths the programs use (/etc/tolvane.d, /sys/kernel/security, /dev/log)
// can be supplied without touching the host.
#pragma once

#include <string>

namespace sandbox {

// Moves the calling process into a private mount namespace (and a user
// namespace mapping the caller to root when it is not root already), with
// all mounts private. Must be called before any thread is started.
// Returns an empty string on success, else what failed.
std::string enter_private_namespaces();

// Lays a writable overlay over `dir` whose changes live under `scratch`
// (a fresh directory); the host's `dir` is never written.
std::string overlay_directory(const std::string& dir, const std::string& scratch);

// Mounts a fresh tmpfs at `dir` with the given mount data ("size=4k", ...).
std::string mount_tmpfs(const std::string& dir, const std::string& data, bool read_only = false);

// Lazily detaches whatever is mounted at `dir`.
std::string unmount(const std::string& dir);

// Creates a fresh directory under $TMPDIR (or /tmp) and returns its path.
std::string make_temp_dir(const std::string& prefix);

// Removes a directory tree; errors are ignored.
void remove_tree(const std::string& path);

} // namespace sandbox
