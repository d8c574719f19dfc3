// Creating a profile file without ever replacing or truncating an entry.
#pragma once

#include <string>
#include <string_view>

enum class CreateResult { created, exists, failed };

enum class CreateMethod {
    unnamed_then_link, // write an unnamed file in the directory, link it in when complete
    exclusive, // create the name exclusively, remove it again if writing fails
};

// True when any entry is at `path`, a dangling symbolic link included.
bool entry_exists(const std::string& path);

// Creates `path` (a file name inside an existing directory) holding exactly
// `content`, with permission bits 0644 less the umask. `created` means the
// content and the name are both on disk. Readers of the directory never see a
// partial file with the default method; where the file system cannot hold
// unnamed files it falls back to exclusive creation, and holds back signals
// until the file is complete or taken back. `exists` means something
// already occupies `path` and was left untouched; `failed` means nothing was
// left behind.
CreateResult create_profile(
    const std::string& path, std::string_view content, CreateMethod method = CreateMethod::unnamed_then_link);
