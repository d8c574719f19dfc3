#include "profile_path.h"

#include "md5.h"

#include <cstring>
#include <string_view>

int check_file_path(const char* path)
{
    if (path == nullptr)
        return -1;
    const std::string_view p(path, ::strnlen(path, max_program_path_length + 1));
    if (p.size() > max_program_path_length)
        return -1;
    if (p.empty() || p.front() != '/')
        return -1;
    if (p.back() == '/')
        return -1;
    for (const std::string_view bad : {"/./", "//", "/../"})
        if (p.find(bad) != std::string_view::npos)
            return -1;
    // A profile is line-based and the path is written unquoted into its first
    // line: a line feed would let the path add lines of its own.
    if (p.find('\n') != std::string_view::npos)
        return -1;
    return 0;
}

std::string profile_path_for(const std::string& path)
{
    const std::string digest = md5_hex(path.c_str());
    if (digest.empty())
        return {};
    std::string q = profile_directory;
    q += '/';
    q += digest;
    return q;
}
