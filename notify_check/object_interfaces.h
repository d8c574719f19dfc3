// What an object's introspection data says it serves: its interfaces and
// the input signature of each of their methods.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

struct ObjectInterfaces {
    std::vector<std::string> names; // in the order the data lists them
    // "interface.method" -> the types of its input arguments, in order
    std::map<std::string, std::string> input_signatures;
};

// Reads the XML that org.freedesktop.DBus.Introspectable.Introspect returns.
// Only elements and their attributes matter; what cannot be read is skipped.
ObjectInterfaces parse_introspection(std::string_view xml);
