// The host finds the plug-in by name; the dynamic symbol table must hold our
// exported names and nothing else of ours (no std:: instantiations, no
// helpers that a later build could clash with).
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

struct PipeCloser {
    void operator()(std::FILE* stream) const noexcept { pclose(stream); }
};

std::set<std::string> defined_dynamic_symbols(const std::string& library)
{
    const std::string command = "nm -D --defined-only '" + library + "'";
    std::unique_ptr<std::FILE, PipeCloser> nm(popen(command.c_str(), "r"));
    std::set<std::string> names;
    if (!nm)
        return names;
    char line[4096];
    while (std::fgets(line, sizeof line, nm.get())) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            names.insert(name);
    }
    return names;
}

TEST(PluginLibrary, ExportsExactlyItsOwnNames)
{
    const std::set<std::string> expected = {
        "KRMRegister",
        "KRMUnregister",
        "g_notify_onoff",
        "_Z16message_time_mapB5cxx11",
        "_Z14notify_messagePKcS0_",
        "_Z19on_set_notify_onoffP14sd_bus_messagePvP12sd_bus_error",
        "_Z23update_message_time_mapl",
        "_Z5ltrimB5cxx11St17basic_string_viewIcSt11char_traitsIcEE",
        "_Z5rtrimB5cxx11St17basic_string_viewIcSt11char_traitsIcEE",
        "_Z4trimB5cxx11St17basic_string_viewIcSt11char_traitsIcEE",
        "_Z35is_ovx_controlcenter_privacy_folderSt17basic_string_viewIcSt11char_traitsIcEE",
    };
    // Put there by the linker in some configurations, not by us.
    const std::set<std::string> linker_made = {"_init", "_fini", "__bss_start", "_edata", "_end"};

    std::set<std::string> ours;
    for (const auto& name : defined_dynamic_symbols(NOTIFY_PLUGIN_PATH))
        if (!linker_made.count(name))
            ours.insert(name);
    EXPECT_EQ(ours, expected);
}

}  // namespace
