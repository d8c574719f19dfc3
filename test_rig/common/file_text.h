// The whole content of a file, and its lines, for the rig and the suites.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace rig {

// Byte for byte; empty when the file cannot be opened, and what was read up
// to a failed read. Reading /proc of a task that has just exited fails with
// ESRCH, and filebuf throws on a failed read, which an istreambuf_iterator
// passes on; inserting the buffer into a stream catches it.
inline std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    return std::move(text).str();
}

// Its lines, without their newlines.
inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace rig
