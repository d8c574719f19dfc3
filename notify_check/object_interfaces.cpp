#include "object_interfaces.h"

#include <cctype>
#include <vector>

namespace {

bool is_space(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

size_t skip_spaces(std::string_view text, size_t i)
{
    while (i < text.size() && is_space(text[i]))
        ++i;
    return i;
}

struct Tag {
    std::string_view name;
    std::string_view attributes;
    bool closing = false; // </name>
    bool empty = false; // <name/>
};

Tag read_tag(std::string_view inside)
{
    Tag tag;
    if (inside.starts_with('/')) {
        tag.closing = true;
        inside.remove_prefix(1);
    }
    if (inside.ends_with('/')) {
        tag.empty = true;
        inside.remove_suffix(1);
    }
    size_t end = 0;
    while (end < inside.size() && !is_space(inside[end]))
        ++end;
    tag.name = inside.substr(0, end);
    tag.attributes = inside.substr(end);
    return tag;
}

// Where the tag opened at `at` ends: its '>', which a quoted value may hold.
// A '<' cuts it off, as XML allows none inside a tag: `cut` is then set and
// the tag is dropped. npos when the data ends inside the tag.
size_t tag_end(std::string_view xml, size_t at, bool& cut)
{
    char quote = 0;
    for (size_t i = at + 1; i < xml.size(); ++i) {
        const char c = xml[i];
        if (c == '<') {
            cut = true;
            return i;
        }
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            return i;
        }
    }
    return std::string_view::npos;
}

// The value of attribute `name`, quoted with ' or "; empty when absent or
// unreadable. The attributes are read in turn, so that text inside another
// attribute's value never matches; an unquoted value is skipped, and an
// unterminated one ends the tag's attributes.
std::string_view attribute(std::string_view attributes, std::string_view name)
{
    size_t i = skip_spaces(attributes, 0);
    while (i < attributes.size()) {
        size_t key_end = i;
        while (key_end < attributes.size() && !is_space(attributes[key_end]) && attributes[key_end] != '=')
            ++key_end;
        const std::string_view key = attributes.substr(i, key_end - i);
        i = skip_spaces(attributes, key_end);
        if (i >= attributes.size() || attributes[i] != '=')
            continue; // a name without a value
        i = skip_spaces(attributes, i + 1);
        if (i >= attributes.size())
            return {};
        const char quote = attributes[i];
        if (quote != '"' && quote != '\'') {
            while (i < attributes.size() && !is_space(attributes[i]))
                ++i;
            i = skip_spaces(attributes, i);
            continue;
        }
        const size_t close = attributes.find(quote, i + 1);
        if (close == std::string_view::npos)
            return {};
        if (key == name)
            return attributes.substr(i + 1, close - i - 1);
        i = skip_spaces(attributes, close + 1);
    }
    return {};
}

// What an open element is, from where it stands: only an interface of the
// object's own node, a method of such an interface and an argument of such
// a method count; a child node's description and misplaced elements do not.
enum class Role { object, interface, method, other };

struct Open {
    std::string_view name;
    // cppcheck does not see it read through the vector's elements.
    // cppcheck-suppress unusedStructMember
    Role role;
};

Role role_of(std::string_view name, const std::vector<Open>& open)
{
    const Role parent = open.empty() ? Role::other : open.back().role;
    if (name == "node" && open.empty())
        return Role::object;
    if (name == "interface" && (open.empty() || parent == Role::object))
        return Role::interface;
    if (name == "method" && parent == Role::interface)
        return Role::method;
    return Role::other;
}

void close_element(std::vector<Open>& open, std::string_view name)
{
    for (size_t i = open.size(); i > 0; --i)
        if (open[i - 1].name == name) {
            open.resize(i - 1);
            return;
        }
    // A closing tag that matches nothing open is ignored.
}

} // namespace

ObjectInterfaces parse_introspection(std::string_view xml)
{
    ObjectInterfaces out;
    std::vector<Open> open; // the elements around the next tag, outermost first
    std::string interface; // the interface whose methods count, if any
    std::string method; // "interface.method" whose arguments count, if any
    size_t at = 0;
    while ((at = xml.find('<', at)) != std::string_view::npos) {
        // Comments may hold '<' and '>'; declarations and processing instructions carry nothing.
        if (xml.substr(at).starts_with("<!--")) {
            const size_t end = xml.find("-->", at);
            at = end == std::string_view::npos ? xml.size() : end + 3;
            continue;
        }
        bool cut = false;
        const size_t end = tag_end(xml, at, cut);
        if (end == std::string_view::npos)
            break;
        const std::string_view inside = xml.substr(at + 1, end - at - 1);
        at = cut ? end : end + 1;
        if (cut || inside.starts_with('!') || inside.starts_with('?'))
            continue;
        const Tag tag = read_tag(inside);
        if (tag.closing) {
            close_element(open, tag.name);
            continue;
        }
        const Role role = role_of(tag.name, open);
        const std::string_view name = attribute(tag.attributes, "name");
        if (role == Role::interface && !name.empty()) {
            out.names.emplace_back(name);
            interface = name;
        } else if (role == Role::method && !interface.empty() && !name.empty()) {
            method = interface + "." + std::string(name);
            out.input_signatures[method] = ""; // a method without arguments takes ""
        } else if (tag.name == "arg" && !open.empty() && open.back().role == Role::method && !method.empty()
            && attribute(tag.attributes, "direction") != "out") {
            out.input_signatures[method] += attribute(tag.attributes, "type");
        }
        if (!tag.empty)
            // Without a name, an interface or a method hides what it holds.
            open.push_back(
                {tag.name, (role == Role::interface || role == Role::method) && name.empty() ? Role::other : role});
    }
    return out;
}
