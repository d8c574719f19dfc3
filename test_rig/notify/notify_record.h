// The bytes of one record of the notification file, as the kernel module
// writes it: two 512-byte fields, the object's path and the program's text.
// Built here from the layout alone, not from the plug-in's own structure,
// so that a fault in that structure shows.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace rig {

inline constexpr std::size_t notify_field_bytes = 512;
inline constexpr std::size_t notify_record_bytes = 2 * notify_field_bytes;

// Appends one record. A text shorter than its field is NUL-padded; one of
// exactly 512 bytes fills its field with no NUL; a longer one is cut at the
// field's end.
inline void append_notify_record(std::string& out, std::string_view object_path, std::string_view program_text)
{
    for (const std::string_view text : {object_path, program_text}) {
        const std::size_t kept = std::min(text.size(), notify_field_bytes);
        out.append(text.substr(0, kept));
        out.append(notify_field_bytes - kept, '\0');
    }
}

inline std::string notify_record(std::string_view object_path, std::string_view program_text)
{
    std::string out;
    out.reserve(notify_record_bytes);
    append_notify_record(out, object_path, program_text);
    return out;
}

} // namespace rig
