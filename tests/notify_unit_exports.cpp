// The host finds the plug-in by name; the dynamic symbol table must hold our
// exported names and nothing else of ours (no std:: instantiations, no
// helpers that a later build could clash with).
#include "file_text.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
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

// The names the dynamic loader looks up when it loads the library, read the
// way the loader finds them: from the dynamic section, not from section
// names, which differ from machine to machine (.rela.dyn, .rel.dyn, .rela.plt).
struct LoaderLookups {
    std::string error; // empty when the file could be read
    std::set<std::string> names;
};

template <typename T>
std::optional<T> read_at(const std::string& file, std::uint64_t offset)
{
    T value;
    if (offset > file.size() || file.size() - offset < sizeof value)
        return std::nullopt;
    std::memcpy(&value, file.data() + offset, sizeof value);
    return value;
}

// The symbol a relocation names. MIPS64 packs r_info as a structure of its
// own, with the symbol index in its first four bytes, whatever the byte order.
constexpr bool elf64 = sizeof(ElfW(Addr)) == 8;

std::uint64_t relocation_symbol(const std::string& file, std::uint64_t entry, std::uint16_t machine)
{
    const std::uint64_t info_offset = entry + offsetof(ElfW(Rel), r_info);
    if (machine == EM_MIPS && elf64)
        return read_at<std::uint32_t>(file, info_offset).value_or(0);
    const std::uint64_t info = read_at<ElfW(Xword)>(file, info_offset).value_or(0);
    return elf64 ? info >> 32 : info >> 8;
}

LoaderLookups loader_lookups(const char* path)
{
    LoaderLookups result;
    const std::string file = rig::file_text(path);
    const auto header = read_at<ElfW(Ehdr)>(file, 0);
    const unsigned char elf_class = elf64 ? ELFCLASS64 : ELFCLASS32;
    const unsigned char byte_order = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    if (!header || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != elf_class
        || header->e_ident[EI_DATA] != byte_order) {
        result.error = "not an ELF file of this machine's class and byte order";
        return result;
    }
    // Addresses in the dynamic section are where the loader maps the file.
    std::map<ElfW(Addr), ElfW(Phdr)> loads;
    std::optional<ElfW(Phdr)> dynamic_segment;
    for (unsigned i = 0; i < header->e_phnum; ++i) {
        const auto segment = read_at<ElfW(Phdr)>(file, header->e_phoff + std::uint64_t{i} * header->e_phentsize);
        if (segment && segment->p_type == PT_LOAD)
            loads[segment->p_vaddr] = *segment;
        else if (segment && segment->p_type == PT_DYNAMIC)
            dynamic_segment = segment;
    }
    const auto file_offset = [&](ElfW(Addr) address) -> std::uint64_t {
        for (const auto& [start, segment] : loads)
            if (address >= start && address - start < segment.p_filesz)
                return segment.p_offset + (address - start);
        return file.size();
    };
    if (!dynamic_segment) {
        result.error = "no dynamic segment";
        return result;
    }
    std::map<ElfW(Sxword), ElfW(Xword)> dynamic;
    const std::uint64_t dynamic_end = dynamic_segment->p_offset + dynamic_segment->p_filesz;
    for (std::uint64_t at = dynamic_segment->p_offset; at < dynamic_end; at += sizeof(ElfW(Dyn))) {
        const auto entry = read_at<ElfW(Dyn)>(file, at);
        if (!entry || entry->d_tag == DT_NULL)
            break;
        dynamic[entry->d_tag] = entry->d_un.d_val;
    }
    const auto tag = [&](ElfW(Sxword) t) { return dynamic.count(t) ? dynamic[t] : 0; };
    const std::uint64_t symbols = file_offset(tag(DT_SYMTAB));
    const std::uint64_t strings = file_offset(tag(DT_STRTAB));
    const ElfW(Xword) symbol_size = tag(DT_SYMENT) ? tag(DT_SYMENT) : sizeof(ElfW(Sym));
    const auto add_symbol = [&](std::uint64_t index) {
        const auto symbol = read_at<ElfW(Sym)>(file, symbols + index * symbol_size);
        if (symbol && symbol->st_name != 0 && strings + symbol->st_name < file.size())
            result.names.insert(file.c_str() + strings + symbol->st_name);
    };
    struct Table {
        ElfW(Sxword) address, size, entry_size;
        ElfW(Xword) default_entry_size;
    };
    const ElfW(Xword) plt_entry_size = tag(DT_PLTREL) == DT_RELA ? sizeof(ElfW(Rela)) : sizeof(ElfW(Rel));
    for (const Table table : {Table{DT_RELA, DT_RELASZ, DT_RELAENT, sizeof(ElfW(Rela))},
             Table{DT_REL, DT_RELSZ, DT_RELENT, sizeof(ElfW(Rel))}, Table{DT_JMPREL, DT_PLTRELSZ, 0, plt_entry_size}}) {
        if (!tag(table.address))
            continue;
        const ElfW(Xword) entry_size
            = table.entry_size && tag(table.entry_size) ? tag(table.entry_size) : table.default_entry_size;
        const std::uint64_t start = file_offset(tag(table.address));
        for (std::uint64_t at = start; at + entry_size <= start + tag(table.size); at += entry_size)
            add_symbol(relocation_symbol(file, at, header->e_machine));
    }
    // MIPS has no relocation for a symbol reached through the GOT: the loader
    // looks up every symbol from DT_MIPS_GOTSYM on and fills its GOT entry.
    if (header->e_machine == EM_MIPS && dynamic.count(DT_MIPS_GOTSYM))
        for (ElfW(Xword) index = tag(DT_MIPS_GOTSYM); index < tag(DT_MIPS_SYMTABNO); ++index)
            add_symbol(index);
    return result;
}

// Its own uses of those names are bound when it is linked: a name the loader
// looks up for it would let a symbol of the same name in the host, or in a
// library loaded before it, stand in for ours.
TEST(PluginLibrary, BindsItsOwnUsesOfItsNamesInsideItself)
{
    const auto lookups = loader_lookups(NOTIFY_PLUGIN_PATH);
    ASSERT_EQ(lookups.error, "");
    // What it calls in libsystemd is looked up, on every machine: the reader
    // found the loader's work.
    ASSERT_EQ(lookups.names.count("sd_bus_message_append"), 1u) << "the lookups read are incomplete";
    for (const auto& name : exported_names)
        EXPECT_EQ(lookups.names.count(name), 0u) << name;
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
