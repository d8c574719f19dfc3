// The notification in the user's language: the plug-in loaded by a host
// that runs under a German locale sends the texts of the German catalogue,
// and a language without a catalogue or a locale that does not exist leaves
// them in English. The expected texts come from po/de.po itself, so that
// the test follows the translators rather than a copy of their work.
#include "notify_e2e/rig_test.h"

#include "artifacts.h"
#include "sandbox.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace e2e;
using NotifyLocale = RigTest;

using Catalogue = std::map<std::string, std::string>;

// The text of a quoted po string, its escapes resolved.
std::string po_string(const std::string& line)
{
    std::string out;
    const size_t open = line.find('"');
    const size_t close = line.rfind('"');
    for (size_t i = open + 1; i < close; ++i) {
        if (line[i] != '\\' || i + 1 == close) {
            out += line[i];
            continue;
        }
        const char c = line[++i];
        out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

// msgid -> msgstr of every entry; strings continued on following lines are joined.
Catalogue read_po(const std::string& path)
{
    Catalogue entries;
    std::string id;
    std::string str;
    std::string* current = nullptr;
    const auto flush = [&] {
        if (!id.empty())
            entries[id] = str;
        id.clear();
        str.clear();
    };
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);) {
        if (line.starts_with("msgid ")) {
            flush();
            current = &id;
        } else if (line.starts_with("msgstr ")) {
            current = &str;
        } else if (!line.starts_with("\"")) {
            current = nullptr;
            continue;
        }
        if (current)
            *current += po_string(line);
    }
    flush();
    return entries;
}

// The host's locales: de_DE.UTF-8 and de_DE.ISO-8859-1 compiled into a
// private directory (the host finds them through LOCPATH), and the built
// German catalogue where the plug-in looks for it: under the directory the
// build was configured to install to (/usr/local/share/locale by default, not
// /usr/share/locale), inside this test's own mount namespace.
struct GermanLocale {
    rig::Status status;
    std::string dir;

    GermanLocale()
    {
        status = rig::make_temp_dir("tolvane-e2e-locale", dir);
        if (status)
            status = compile_locale("de_DE.UTF-8", dir);
        if (status)
            status = compile_locale("de_DE.ISO-8859-1", dir);
        if (status)
            status = mount_catalogue();
    }
    GermanLocale(const GermanLocale&) = delete;
    GermanLocale& operator=(const GermanLocale&) = delete;
    ~GermanLocale() { rig::remove_tree(dir); }

    // The catalogue under test where the plug-in looks for it; an installed
    // one is there already.
    rig::Status mount_catalogue() const
    {
        const std::string messages = std::string(TOLVANE_LOCALE_DIR) + "de/LC_MESSAGES";
        const std::string tested
            = rig::artifact(rig::catalogues_variable, TOLVANE_LOCALE_BUILD_DIR) + "/de/LC_MESSAGES";
        std::error_code unknown;
        if (std::filesystem::equivalent(tested, messages, unknown))
            return rig::Status::ok();
        const std::string scratch = dir + "/overlay";
        if (::mkdir(scratch.c_str(), 0755) != 0)
            return rig::Status::failed_errno("mkdir " + scratch);
        if (auto s = rig::make_private_directory(messages, scratch); !s)
            return s;
        return rig::bind_mount(tested, messages);
    }
};

const GermanLocale& german_locale()
{
    static const GermanLocale locale;
    return locale;
}

const std::string docs = "/home/ann/Documents/Bericht.odt";

// The call the plug-in makes for a record, its texts passed through `texts`.
rig::RecordedCall expected_call(const Catalogue& texts, const std::string& program, bool camera)
{
    rig::RecordedCall call;
    call.app_name = texts.at("preferences-system");
    call.summary = program + texts.at(camera ? camera_suffix : files_suffix);
    call.body = texts.at("Go to Control Center > Privacy and Security, and allow its access.");
    call.actions = {"_open1", texts.at("Go to Settings")};
    call.hints = {{"x-orbisk-action-_open1", "s",
        std::string(command_prefix) + (camera ? "privacy,camera" : "privacy,filefolder")}};
    call.expire_timeout = -1;
    return call;
}

Catalogue untranslated(const Catalogue& catalogue)
{
    Catalogue same;
    for (const auto& [id, str] : catalogue)
        same[id] = id;
    return same;
}

struct LocaleCase {
    const char* name;
    std::vector<std::string> environment; // on top of LOCPATH, after LC_ALL is removed
    bool german;
};

TEST_F(NotifyLocale, TheTextsFollowTheHostsLanguageAndFallBackToEnglish)
{
    const auto& locale = german_locale();
    ASSERT_OK(locale.status);
    const Catalogue de = read_po(TOLVANE_PO_DIR "/de.po");
    // A catalogue the parser misread would make every comparison below vacuous.
    ASSERT_EQ(de.at("Go to Settings"), "Zu den Einstellungen");
    const Catalogue english = untranslated(de);

    const LocaleCase cases[] = {
        {"LANG names the German locale", {"LANG=de_DE.UTF-8"}, true},
        {"LC_ALL names the German locale", {"LANG=C", "LC_ALL=de_DE.UTF-8"}, true},
        // The texts still reach the bus in UTF-8, which is all it takes.
        {"LANG names a German locale in Latin-1", {"LANG=de_DE.ISO-8859-1"}, true},
        {"LANGUAGE names a language without a catalogue", {"LANG=de_DE.UTF-8", "LANGUAGE=xx"}, false},
        {"LANG names a locale that does not exist", {"LANG=xx_XX.UTF-8"}, false},
    };
    for_each_row(cases, [&](const auto& c) {
        Rig rig;
        ASSERT_OK(start_rig(rig));
        ASSERT_OK(
            write_notify_file(record(docs, "/usr/bin/textverarbeitung") + record("/dev/video0", "/usr/bin/kamera")));
        std::vector<std::string> environment = {"LC_ALL", "LOCPATH=" + locale.dir};
        environment.insert(environment.end(), c.environment.begin(), c.environment.end());

        const auto run = run_host(rig, {}, environment);
        ASSERT_OK(run.status);
        EXPECT_EQ(run.exit_status, 0);
        EXPECT_EQ(run.output, std::vector<std::string>{"KRMRegister returned 0"});
        const Catalogue& texts = c.german ? de : english;
        EXPECT_EQ(recorded_calls(rig),
            (std::vector<rig::RecordedCall>{expected_call(texts, "/usr/bin/textverarbeitung", false),
                expected_call(texts, "/usr/bin/kamera", true)}));
        EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
    });
}

// The host selects a text domain of its own once the reader runs; the
// plug-in's texts still come from its own.
TEST_F(NotifyLocale, AHostThatSelectsItsOwnTextDomainLeavesTheTextsTranslated)
{
    const auto& locale = german_locale();
    ASSERT_OK(locale.status);
    const Catalogue de = read_po(TOLVANE_PO_DIR "/de.po");
    Rig rig;
    ASSERT_OK(start_rig(rig));
    ASSERT_OK(make_notify_fifo());
    rig::ChildProcess host;
    // glibc orders the two textdomain() calls with a lock of its own, which
    // ThreadSanitizer cannot see in the uninstrumented libc.
    ASSERT_OK(start_host(rig, {"--while-reading", "textdomain"}, true, host,
        {"LC_ALL", "LOCPATH=" + locale.dir, "LANG=de_DE.UTF-8", "TSAN_OPTIONS=ignore_noninstrumented_modules=1"}));
    const auto deadline = rig::deadline_in(patience);
    rig::unique_fd fifo;
    ASSERT_OK(open_fifo_writer(deadline, fifo));
    ASSERT_OK(rig::write_all(host.stdin_fd.get(), "\n", 1, deadline));
    ASSERT_EQ(rig::read_line(host, deadline), std::optional<std::string>("textdomain tolvane-host"));

    ASSERT_OK(feed(fifo.get(), docs, "/usr/bin/textverarbeitung", deadline));
    ASSERT_OK(feed(fifo.get(), "/dev/video0", "/usr/bin/kamera", deadline));
    ASSERT_EQ(wait_for_calls(rig, 2, deadline).size(), 2u);
    fifo.reset();
    EXPECT_EQ(rig::read_line(host, deadline), std::optional<std::string>("KRMRegister returned 0"));
    EXPECT_EQ(rig::wait_exit(host, deadline), std::optional<int>(0));
    EXPECT_EQ(recorded_calls(rig),
        (std::vector<rig::RecordedCall>{
            expected_call(de, "/usr/bin/textverarbeitung", false), expected_call(de, "/usr/bin/kamera", true)}));
    EXPECT_EQ(drain_log(rig), std::vector<std::string>{});
}

} // namespace
