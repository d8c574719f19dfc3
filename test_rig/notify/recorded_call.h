// One Notify call as the test notification server saw it, and the line
// format in which it records calls for the tests to read back.
//
// A line is nine tab-separated fields: app_name, replaces_id, app_icon,
// summary, body, actions, hints, expire_timeout, then "end". Every text is
// escaped: bytes below 0x20 or above 0x7e and the characters \ , = become
// \xHH, so no text can contain a separator. Each action is followed by ","
// (no actions: empty field; one empty action: ","). Each hint is
// "KEY=SIGNATURE:VALUE,", with the value of a string-like variant escaped
// and numbers in decimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rig {

struct NotifyHint {
    std::string key;
    std::string signature; // of the variant's contents: "s", "i", ...
    std::string value; // unescaped text, or a number in decimal
    bool operator==(const NotifyHint&) const = default;
};

struct RecordedCall {
    std::string app_name;
    std::uint32_t replaces_id = 0;
    std::string app_icon;
    std::string summary;
    std::string body;
    std::vector<std::string> actions;
    std::vector<NotifyHint> hints;
    std::int32_t expire_timeout = 0;
    bool operator==(const RecordedCall&) const = default;
};

std::string format_recorded_call(const RecordedCall& call);
std::optional<RecordedCall> parse_recorded_call(const std::string& line);

} // namespace rig
