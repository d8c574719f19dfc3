#include "mkprofile/profile_directory.h"

#include "sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace rig {

PrivateProfileDirectory::~PrivateProfileDirectory()
{
    if (mounted_)
        (void)unmount(profile_dir);
    if (removed_)
        (void)::mkdir(profile_dir.c_str(), 0755);
}

Status PrivateProfileDirectory::mount(const std::string& data, bool read_only)
{
    if (mounted_) {
        if (Status unmounted = unmount(profile_dir); !unmounted)
            return unmounted;
        mounted_ = false;
    }
    if (removed_) {
        if (::mkdir(profile_dir.c_str(), 0755) != 0)
            return Status::failed("mkdir " + profile_dir + ": " + std::strerror(errno));
        removed_ = false;
    }
    if (Status made = mount_tmpfs(profile_dir, data, read_only); !made)
        return made;
    mounted_ = true;
    return Status::ok();
}

Status PrivateProfileDirectory::remove()
{
    if (mounted_) {
        if (Status unmounted = unmount(profile_dir); !unmounted)
            return unmounted;
        mounted_ = false;
    }
    if (::rmdir(profile_dir.c_str()) != 0)
        return Status::failed("rmdir " + profile_dir + ": " + std::strerror(errno));
    removed_ = true;
    return Status::ok();
}

std::set<std::string> entries(const std::string& dir)
{
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(dir, ec))
        names.insert(e.path().filename().string());
    return names;
}

} // namespace rig
