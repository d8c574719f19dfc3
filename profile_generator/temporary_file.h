// The temporary files of the fallback: made under names no other run picks,
// held by a lock while their run lives, removed by a later run once no one
// holds them.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

// The temporary names start with this, then 16 random hexadecimal digits
// (earlier versions: the process id, a hyphen and a number). A dot and a
// hyphen: never a profile's name.
inline constexpr std::string_view temporary_name_prefix = ".tv-mkprofile-";

// Whether `name` in the directory `dir` is the very file open as `fd`.
bool names_file(int dir, const std::string& name, int fd);

// Creates a temporary file in `dir` with permission bits `mode` less the
// umask, open for writing and locked, and sets `name` to its name; -1 when
// none can be had. The lock stays while any
// descriptor of the file (a dup included) stays open.
int create_temporary(int dir, mode_t mode, std::string& name);

// Removes each regular file under the temporary prefix in `dir` that no live
// run holds. What cannot be looked at, locked or removed is left as it is.
void remove_stale_temporaries(int dir);
