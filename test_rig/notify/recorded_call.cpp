#include "recorded_call.h"

#include <charconv>
#include <cstdio>

namespace rig {
namespace {

std::string escape(const std::string& text)
{
    std::string out;
    for (const unsigned char c : text) {
        if (c < 0x20 || c > 0x7e || c == '\\' || c == ',' || c == '=') {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<std::string> unescape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size())
            return std::nullopt;
        if (text[i + 1] != 'x')
            return std::nullopt;
        const int hi = hex_digit(text[i + 2]);
        const int lo = hex_digit(text[i + 3]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i)
        if (i == text.size() || text[i] == separator) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    return parts;
}

// "a,b," -> {"a", "b"}; "" -> {}; every item ends in the separator.
std::optional<std::vector<std::string_view>> terminated_items(std::string_view text)
{
    std::vector<std::string_view> items;
    if (text.empty())
        return items;
    if (text.back() != ',')
        return std::nullopt;
    items = split(text.substr(0, text.size() - 1), ',');
    return items;
}

template <typename Int>
std::optional<Int> number(std::string_view text)
{
    Int value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace

std::string format_recorded_call(const RecordedCall& call)
{
    std::string actions;
    for (const auto& a : call.actions)
        actions += escape(a) + ",";
    std::string hints;
    for (const auto& h : call.hints)
        hints += escape(h.key) + "=" + h.signature + ":" + escape(h.value) + ",";
    return escape(call.app_name) + "\t" + std::to_string(call.replaces_id) + "\t" + escape(call.app_icon) + "\t"
        + escape(call.summary) + "\t" + escape(call.body) + "\t" + actions + "\t" + hints + "\t"
        + std::to_string(call.expire_timeout) + "\tend";
}

std::optional<RecordedCall> parse_recorded_call(const std::string& line)
{
    const auto fields = split(line, '\t');
    if (fields.size() != 9 || fields[8] != "end")
        return std::nullopt;
    RecordedCall call;
    auto app = unescape(fields[0]);
    auto replaces = number<std::uint32_t>(fields[1]);
    auto icon = unescape(fields[2]);
    auto summary = unescape(fields[3]);
    auto body = unescape(fields[4]);
    auto timeout = number<std::int32_t>(fields[7]);
    auto actions = terminated_items(fields[5]);
    auto hints = terminated_items(fields[6]);
    if (!app || !replaces || !icon || !summary || !body || !timeout || !actions || !hints)
        return std::nullopt;
    call.app_name = *app;
    call.replaces_id = *replaces;
    call.app_icon = *icon;
    call.summary = *summary;
    call.body = *body;
    call.expire_timeout = *timeout;
    for (const auto a : *actions) {
        auto text = unescape(a);
        if (!text)
            return std::nullopt;
        call.actions.push_back(*text);
    }
    for (const auto h : *hints) {
        const auto eq = h.find('=');
        const auto colon = h.find(':', eq == std::string_view::npos ? 0 : eq);
        if (eq == std::string_view::npos || colon == std::string_view::npos)
            return std::nullopt;
        auto key = unescape(h.substr(0, eq));
        auto value = unescape(h.substr(colon + 1));
        if (!key || !value)
            return std::nullopt;
        call.hints.push_back({*key, std::string(h.substr(eq + 1, colon - eq - 1)), *value});
    }
    return call;
}

} // namespace rig
