// Which program paths get a profile, and where that profile lives.
#pragma once

#include <string>

inline constexpr const char* profile_directory = "/etc/tolvane.d";
inline constexpr std::size_t max_program_path_length = 4096;

// 0 when `path` is an absolute program path the generator accepts, else -1.
// Only the form is checked; the file system is not consulted.
int check_file_path(const char* path);

// "/etc/tolvane.d/" followed by the 32 hex digits of the path's MD5 digest;
// empty when memory for the digest cannot be had.
std::string profile_path_for(const std::string& path);
