// Creating a profile file without ever replacing or truncating an entry.
#pragma once

#include <string>
#include <string_view>

enum class CreateResult {
    created, // the whole content is on disk under the name
    exists, // something else occupies the name and was left untouched
    failed, // nothing is left under the name
    left_partial, // a partial file stays under the name: it could not be taken back
};

enum class CreateMethod {
    unnamed_then_link, // an unnamed file in the directory, linked in when complete
    temporary_name, // a file under a temporary name, renamed or linked when complete
    exclusive, // the name created exclusively, then written: the last resort
};

// True when any entry is at `path`, a dangling symbolic link included.
bool entry_exists(const std::string& path);

// Creates `path` (a file name inside an existing directory) holding exactly
// `content`, with permission bits 0644 less the umask. Each method falls back
// to the next where the file system cannot do what it needs: readers of the
// directory see no name until the content is whole and on disk, except with
// the exclusive create. A temporary name that cannot be removed may stay
// behind; it never looks like a profile, and the next run on a temporary
// name removes it. Signals are the caller's business:
// a run that is killed part-way leaves, but for the exclusive create, the
// whole profile or nothing under `path`.
CreateResult create_profile(
    const std::string& path, std::string_view content, CreateMethod method = CreateMethod::unnamed_then_link);
