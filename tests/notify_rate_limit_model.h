// A plain model of the event filter and rate limiter, written from their
// description and sharing no code with them: the filter as prefix and
// substring tests, the key as strtoll would fold it, and a map purged by
// walking every entry.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace model {

inline bool is_space(char c)
{
    return c != '\0' && std::strchr(" \n\r\t\f\v", c) != nullptr;
}

inline std::string trim(std::string s)
{
    while (!s.empty() && is_space(s.back()))
        s.pop_back();
    std::size_t i = 0;
    while (i < s.size() && is_space(s[i]))
        ++i;
    return s.substr(i);
}

inline bool starts_with(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

inline bool accepts(const std::string& path)
{
    if (starts_with(path, "/dev/video"))
        return true;
    if (!starts_with(path, "/home/"))
        return false;
    for (const char* folder : {"/Documents", "/Pictures", "/Desktop", "/Downloads", "/Music", "/Videos"})
        if (path.find(folder) != std::string::npos)
            return true;
    return false;
}

inline std::string event_key(const std::string& path)
{
    if (!starts_with(path, "/dev/video"))
        return trim(path);
    const long long n = std::strtoll(path.c_str() + 10, nullptr, 10);
    return "/dev/video" + std::to_string(static_cast<unsigned long long>(n) & 0xFEu);
}

struct Limiter {
    std::map<std::string, std::int64_t> times;

    // True when the event is let through to a notification.
    bool event(const std::string& path, const std::string& program, std::int64_t now)
    {
        if (!accepts(path))
            return false;
        for (auto it = times.begin(); it != times.end();) {
            const std::int64_t d = now - it->second;
            if (d >= -60 && d <= 60) {
                ++it;
                continue;
            }
            it = times.erase(it);
        }
        const std::string key = event_key(path);
        if (key.empty() || trim(program).empty())
            return false;
        const std::string rate_key = key + ":" + program;
        // The streams this model checks stay far below the map's bounds,
        // which the limit test covers.
        if (times.count(rate_key))
            return false;
        times.emplace(rate_key, now);
        return true;
    }
};

} // namespace model
