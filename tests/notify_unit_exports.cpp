// The host finds the plug-in by name; the dynamic symbol table must hold our
// exported names and nothing else of ours (no std:: instantiations, no
// helpers that a later build could clash with).
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

struct PipeCloser {
    void operator()(std::FILE* stream) const noexcept { pclose(stream); }
};

std::string output_of(const std::string& command)
{
    std::unique_ptr<std::FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
    std::string output;
    if (!pipe)
        return output;
    char chunk[4096];
    while (const std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe.get()))
        output.append(chunk, n);
    return output;
}

std::set<std::string> defined_dynamic_symbols(const std::string& library)
{
    std::istringstream lines(output_of("nm -D --defined-only '" + library + "'"));
    std::set<std::string> names;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name)
            names.insert(name);
    }
    return names;
}

const std::set<std::string> exported_names = {
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

TEST(PluginLibrary, ExportsExactlyItsOwnNames)
{
    // Put there by the linker in some configurations, not by us.
    const std::set<std::string> linker_made = {"_init", "_fini", "__bss_start", "_edata", "_end"};

    std::set<std::string> ours;
    for (const auto& name : defined_dynamic_symbols(NOTIFY_PLUGIN_PATH))
        if (!linker_made.count(name))
            ours.insert(name);
    EXPECT_EQ(ours, exported_names);
}

// Its own uses of those names are bound when it is linked: a dynamic
// relocation naming one would let a symbol of the same name in the host, or
// in a library loaded before it, stand in for it.
TEST(PluginLibrary, BindsItsOwnUsesOfItsNamesInsideItself)
{
    const std::string relocations = output_of("readelf -r --wide '" NOTIFY_PLUGIN_PATH "'");
    ASSERT_NE(relocations.find("Relocation section '.rela.dyn'"), std::string::npos) << "no relocations listed";
    for (const auto& name : exported_names)
        EXPECT_EQ(relocations.find(" " + name + " "), std::string::npos) << name;
}

// The host may unload the plug-in while its threads still run plug-in code.
TEST(PluginLibrary, IsMarkedToStayLoaded)
{
    EXPECT_NE(output_of("readelf -d '" NOTIFY_PLUGIN_PATH "'").find("NODELETE"), std::string::npos);
}

struct LibraryCloser {
    void operator()(void* handle) const noexcept { dlclose(handle); }
};

TEST(PluginLibrary, LoadsWithEveryReferenceResolvedAndStartsSwitchedOn)
{
    std::unique_ptr<void, LibraryCloser> library(dlopen(NOTIFY_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL));
    ASSERT_NE(library, nullptr) << dlerror();
    const auto unregister = reinterpret_cast<int (*)()>(dlsym(library.get(), "KRMUnregister"));
    const auto* onoff = static_cast<const int*>(dlsym(library.get(), "g_notify_onoff"));
    ASSERT_NE(unregister, nullptr);
    ASSERT_NE(onoff, nullptr);
    EXPECT_NE(dlsym(library.get(), "KRMRegister"), nullptr);
    EXPECT_EQ(unregister(), 0);
    EXPECT_EQ(*onoff, 1);
    // The exported map is the map itself, empty, not a pointer to one.
    const auto* map
        = static_cast<const std::map<std::string, std::int64_t>*>(dlsym(library.get(), "_Z16message_time_mapB5cxx11"));
    ASSERT_NE(map, nullptr);
    EXPECT_TRUE(map->empty());
    EXPECT_TRUE(map->begin() == map->end());
}

} // namespace
