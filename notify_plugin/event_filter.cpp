#include "event_filter.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace {

constexpr std::string_view camera_prefix = "/dev/video";
constexpr std::string_view home_prefix = "/home/";

// Tried in this order; the first one found decides.
constexpr std::array<std::string_view, 6> private_folders = {
    "/Documents",
    "/Pictures",
    "/Desktop",
    "/Downloads",
    "/Music",
    "/Videos",
};

} // namespace

std::string ltrim(std::string_view s)
{
    const auto first = s.find_first_not_of(whitespace_chars);
    if (first == std::string_view::npos)
        return {};
    return std::string(s.substr(first));
}

std::string rtrim(std::string_view s)
{
    const auto last = s.find_last_not_of(whitespace_chars);
    if (last == std::string_view::npos)
        return {};
    return std::string(s.substr(0, last + 1));
}

std::string trim(std::string_view s)
{
    return rtrim(ltrim(s));
}

std::string_view trim_view(std::string_view s)
{
    const auto first = s.find_first_not_of(whitespace_chars);
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(whitespace_chars);
    return s.substr(first, last - first + 1);
}

bool is_camera_path(std::string_view object_path)
{
    return object_path.starts_with(camera_prefix);
}

bool is_ovx_controlcenter_privacy_folder(std::string_view path)
{
    if (is_camera_path(path))
        return true;
    if (!path.starts_with(home_prefix))
        return false;
    return std::ranges::any_of(
        private_folders, [path](std::string_view folder) { return path.find(folder) != std::string_view::npos; });
}

EventKind event_kind(std::string_view object_path)
{
    return is_camera_path(object_path) ? EventKind::camera : EventKind::files_and_folders;
}

std::string event_key(const char* object_path)
{
    if (!is_camera_path(object_path))
        return object_path;
    // strtol skips leading whitespace, takes a sign, stops at the first
    // non-digit, gives 0 without digits and saturates at LONG_MIN/LONG_MAX;
    // the mask works on the two's-complement bits, so -1 becomes 254.
    const long number = std::strtol(object_path + camera_prefix.size(), nullptr, 10);
    const unsigned long folded = static_cast<unsigned long>(number) & 0xFEu;
    std::string key(camera_prefix);
    key += std::to_string(folded);
    return key;
}
