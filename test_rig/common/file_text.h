// The whole content of a file, for the rig and the suites.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace rig {

// Byte for byte; empty when the file cannot be read.
inline std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace rig
