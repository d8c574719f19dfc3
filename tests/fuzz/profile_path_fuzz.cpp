// The path check and the profile path against a second statement of the
// rules, written component by component instead of by substring search.
#include "profile_path.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool acceptable(const std::string& p)
{
    if (p.size() > 4096 || p.empty() || p[0] != '/' || p.back() == '/')
        return false;
    // Split at slashes: an empty component is "//"; "." or ".." followed by a
    // slash is "/./" or "/../" (a final "." or ".." has no slash after it).
    std::size_t start = 1;
    for (;;) {
        const std::size_t slash = p.find('/', start);
        const std::string component = p.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        if (slash == std::string::npos)
            break;
        if (component.empty() || component == "." || component == "..")
            return false;
        start = slash + 1;
    }
    for (const char c : p)
        if (c == '\n')
            return false;
    return true;
}

std::string expected_profile_path(const std::string& p)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(p.data(), p.size(), digest, &size, EVP_md5(), nullptr);
    std::string q = "/etc/tolvane.d/";
    for (unsigned int i = 0; i < size; ++i) {
        q += "0123456789abcdef"[digest[i] >> 4];
        q += "0123456789abcdef"[digest[i] & 15];
    }
    return q;
}

} // namespace

// No input can be a null pointer: that case is checked once, at start-up.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (check_file_path(nullptr) != -1)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The program sees its argument up to the first NUL.
    const std::string path(reinterpret_cast<const char*>(data), size);
    const std::string arg = path.c_str();
    if ((check_file_path(arg.c_str()) == 0) != acceptable(arg))
        std::abort();
    if (profile_path_for(arg) != expected_profile_path(arg))
        std::abort();
    return 0;
}
