// What tv-mkprofile prints and writes, byte for byte, as its suites expect.
#pragma once

#include "md5.h"
#include "mkprofile/profile_directory.h"

#include <string>
#include <string_view>

namespace expected {

inline const std::string usage
    = "Usage: tv-mkprofile file_path\n\n for exmple: \n\tsudo tv-mkprofile /home/vel/Desktop/test.txt\n";

// The digest itself is md5_test's business; here it only names the profile.
inline std::string md5_of(const std::string& text)
{
    return md5_hex(text.c_str());
}

inline std::string profile_of(const std::string& program)
{
    return rig::profile_dir + "/" + md5_of(program);
}

inline std::string content(const std::string& program)
{
    return program + " 0.0.1 flags=(complain)\n{\nallow * * rwxd\n}\n";
}

inline std::string created_line(const std::string& p)
{
    return p + "'s profile " + profile_of(p) + " created!\n";
}

inline std::string exists_line(const std::string& p)
{
    return "warning: " + p + "'s profile " + profile_of(p) + " already exists!\n";
}

inline std::string failed_line(const std::string& p)
{
    return "warning: " + p + "'s profile " + profile_of(p) + " create failed. maybe you need run as root!\n";
}

// When memory for the digest cannot be had, there is no profile to name.
inline std::string failed_line_without_digest(const std::string& p)
{
    return "warning: " + p + "'s profile  create failed. maybe you need run as root!\n";
}

inline std::string invalid_line(const std::string& p)
{
    return "warning: " + p + "is not invalid filepath!\n";
}

// A temporary name of the fallback, .tv-mkprofile- and 16 hexadecimal
// digits: recognisably the tool's, never 32 hexadecimal digits.
inline bool is_temporary_name(std::string_view name)
{
    const std::string_view prefix = ".tv-mkprofile-";
    if (!name.starts_with(prefix))
        return false;
    name.remove_prefix(prefix.size());
    return name.size() == 16 && name.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

} // namespace expected
