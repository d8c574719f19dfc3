#include "object_interfaces.h"

#include <cctype>

namespace {

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
    while (end < inside.size() && std::isspace(static_cast<unsigned char>(inside[end])) == 0)
        ++end;
    tag.name = inside.substr(0, end);
    tag.attributes = inside.substr(end);
    return tag;
}

// The value of attribute `name`, quoted with ' or "; empty when absent.
std::string_view attribute(std::string_view attributes, std::string_view name)
{
    size_t at = 0;
    while ((at = attributes.find(name, at)) != std::string_view::npos) {
        const bool starts_word = at == 0 || std::isspace(static_cast<unsigned char>(attributes[at - 1])) != 0;
        size_t i = at + name.size();
        at = i;
        while (i < attributes.size() && std::isspace(static_cast<unsigned char>(attributes[i])) != 0)
            ++i;
        if (!starts_word || i >= attributes.size() || attributes[i] != '=')
            continue;
        ++i;
        while (i < attributes.size() && std::isspace(static_cast<unsigned char>(attributes[i])) != 0)
            ++i;
        if (i >= attributes.size() || (attributes[i] != '"' && attributes[i] != '\''))
            continue;
        const size_t close = attributes.find(attributes[i], i + 1);
        if (close == std::string_view::npos)
            return {};
        return attributes.substr(i + 1, close - i - 1);
    }
    return {};
}

} // namespace

ObjectInterfaces parse_introspection(std::string_view xml)
{
    ObjectInterfaces out;
    std::string interface; // the one being read, if any
    std::string method; // "interface.method" being read, if any
    size_t at = 0;
    while ((at = xml.find('<', at)) != std::string_view::npos) {
        // Comments may hold '>'; declarations and processing instructions carry nothing.
        if (xml.substr(at).starts_with("<!--")) {
            const size_t end = xml.find("-->", at);
            at = end == std::string_view::npos ? xml.size() : end + 3;
            continue;
        }
        const size_t end = xml.find('>', at);
        if (end == std::string_view::npos)
            break;
        const std::string_view inside = xml.substr(at + 1, end - at - 1);
        at = end + 1;
        if (inside.starts_with('!') || inside.starts_with('?'))
            continue;
        const Tag tag = read_tag(inside);
        if (tag.name == "interface") {
            interface = tag.closing || tag.empty ? std::string() : std::string(attribute(tag.attributes, "name"));
            if (!tag.closing)
                out.names.emplace_back(attribute(tag.attributes, "name"));
        } else if (tag.name == "method" && !interface.empty()) {
            if (tag.closing) {
                method.clear();
                continue;
            }
            const std::string key = interface + "." + std::string(attribute(tag.attributes, "name"));
            out.input_signatures[key]; // a method without arguments takes ""
            method = tag.empty ? std::string() : key;
        } else if (tag.name == "arg" && !method.empty() && attribute(tag.attributes, "direction") != "out") {
            out.input_signatures[method] += attribute(tag.attributes, "type");
        }
    }
    return out;
}
