// tolvane-notify-check's lines about what is installed on the machine: the
// plug-in, the notification file and the user it is read as, the language
// and its catalogue, and the program's own arguments. The buses' lines are
// in notify_e2e_check_buses.cpp.
#include "notify_e2e_check_fixture.h"

namespace {

using namespace check_e2e;
using NotifyCheck = e2e::RigTest;

constexpr char usage[] = "Usage: tolvane-notify-check [--send-test]\n"
                         "Checks why notifications of blocked accesses may not appear.\n"
                         "  --send-test  also send one test notification, as a blocked access would\n";

const std::vector<std::string> usage_lines
    = {"Usage: tolvane-notify-check [--send-test]", "Checks why notifications of blocked accesses may not appear.",
        "  --send-test  also send one test notification, as a blocked access would"};

TEST_F(NotifyCheck, EachInstallationLineSaysWhatIsMissingAndTheStatusWhetherNotificationsCanAppear)
{
    ASSERT_OK(installation().status);
    const CheckCase cases[] = {
        {"everything in place", {}, {}, {}, {}, 0, {}},
        {"--help", {}, {"--help"}, {}, {}, 0, {}, usage_lines},
        {"-h after another option", {}, {"--send-test", "-h"}, {}, {}, 0, {}, usage_lines},
        {"an unknown option", {}, {"--send-test", "--sendtest"}, {}, {}, 2, {}, std::vector<std::string>{}, usage},
        {"no plug-in", {.plugin = Plugin::missing}, {}, {},
            {{0,
                "FAIL plug-in: $PLUGIN: No such file or directory; install the tolvane-notify package, which puts it "
                "where the host loads it"}},
            1, {}},
        {"a plug-in file that does not load", {.plugin = Plugin::not_a_library}, {}, {},
            {{0,
                "FAIL plug-in: $PLUGIN does not load: $PLUGIN: file too short; install the tolvane-notify package "
                "again"}},
            1, {}},
        {"a library that is not the plug-in", {.plugin = Plugin::another_library}, {}, {},
            {{0, "FAIL plug-in: $PLUGIN has no entry point KRMRegister; install the tolvane-notify package again"}}, 1,
            {}},
        {"a library with only the first entry point", {.plugin = Plugin::register_only}, {}, {},
            {{0, "FAIL plug-in: $PLUGIN has no entry point KRMUnregister; install the tolvane-notify package again"}},
            1, {}},
#ifdef ALLOCATION_FAILURE_PRELOAD
        // The first allocation is the plug-in check's, before any line.
        {"memory that runs out", {}, {}, {"LD_PRELOAD=" ALLOCATION_FAILURE_PRELOAD, "TOLVANE_FAIL_ALLOCATION=1"}, {}, 1,
            {}, std::vector<std::string>{}, "tolvane-notify-check: std::bad_alloc\n"},
#endif
        {"no notification file", {.notify_file = NotifyFile::missing}, {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify does not exist; load the tolvane kernel "
                "module, with securityfs mounted on /sys/kernel/security"}},
            1, {}},
        {"a notification file that cannot be looked at", {.notify_file = NotifyFile::symlink_loop}, {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify: Too many levels of symbolic links; "
                "check that the tolvane kernel module is loaded"}},
            1, {}},
        {"a notification file the user may not read", {.notify_file = NotifyFile::unreadable, .capabilities = false},
            {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify is not readable by root: Permission "
                "denied; run this check as the user the host runs as, and let that user read the file"}},
            1, {}},
        {"a user without a passwd entry", {.passwd_entry = false}, {}, {},
            {{1, "ok   notification file: /sys/kernel/security/tolvane/.notify exists and uid 0 may read it"}}, 0, {}},
        {"a directory at the notification file's path", {.notify_file = NotifyFile::directory}, {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify is a directory, from which the plug-in "
                "cannot read records; check that the tolvane kernel module is loaded"}},
            1, {}},
        {"a socket at the notification file's path", {.notify_file = NotifyFile::socket}, {}, {},
            {{1,
                "FAIL notification file: /sys/kernel/security/tolvane/.notify is a socket, from which the plug-in "
                "cannot read records; check that the tolvane kernel module is loaded"}},
            1, {}},
        {"no catalogue for the language", {.catalogue = Catalogue::missing}, {}, {},
            {{5,
                "WARN language: no tolvane catalogue for de_DE.UTF-8 in $LOCALES, " + stays_english
                    + "; install the tolvane-notify package's catalogues, or add a translation for this language"}},
            0, {}},
        {"a catalogue whose header names no language", {.catalogue = Catalogue::without_language}, {}, {},
            {{5,
                "ok   language: de_DE.UTF-8 (from LANG) takes its texts from the tolvane catalogue in $LOCALES: "
                "summaries end in \" wurde gesperrt\""}},
            0, {}},
        // Codes kept for local use, which no package translates into: the
        // installed catalogues sit beside the ones this test places.
        {"LANGUAGE naming a language without a catalogue", {}, {}, {"LANGUAGE=qaa:qab"},
            {{5,
                "WARN language: no tolvane catalogue for qaa (from LANGUAGE) in $LOCALES, " + stays_english
                    + "; install the tolvane-notify package's catalogues, or add a translation for this language"}},
            0, {}},
        {"LANGUAGE naming English before the locale's language", {}, {}, {"LANGUAGE=en_US:de"},
            {{5,
                "ok   language: de_DE.UTF-8 (from LANG) takes its texts from the tolvane catalogue for de in "
                "$LOCALES: summaries end in \" wurde der Zugriff auf Dateien und Ordner verweigert\""}},
            0, {}},
        {"LANGUAGE naming English alone", {}, {}, {"LANGUAGE=en"}, {{5, english("en (from LANGUAGE)")}}, 0, {}},
        {"LANGUAGE, which the C locale ignores", {}, {}, {"LANG", "LC_MESSAGES=C", "LANGUAGE=de"},
            {{5, english("C (from LC_MESSAGES)")}}, 0, {}},
        {"no locale variable at all", {}, {}, {"LANG"}, {{5, english("C (no locale variable is set)")}}, 0, {}},
        {"an empty variable counts as unset, and POSIX is C, which LANGUAGE does not override", {}, {},
            {"LC_ALL=", "LANG=POSIX", "LANGUAGE=de"}, {{5, english("POSIX (from LANG)")}}, 0, {}},
        {"the C locale in UTF-8", {}, {}, {"LANG=C.UTF-8"}, {{5, english("C.UTF-8 (from LANG)")}}, 0, {}},
        {"English with a modifier, from LC_MESSAGES", {}, {}, {"LC_MESSAGES=en@quot"},
            {{5, english("en@quot (from LC_MESSAGES)")}}, 0, {}},
        {"English without a territory", {}, {}, {"LANG=en.UTF-8"}, {{5, english("en.UTF-8 (from LANG)")}}, 0, {}},
        {"English, in a locale the system lacks", {}, {}, {"LANG=en_GB.UTF-8"},
            {{5, english("en_GB.UTF-8 (from LANG)")}}, 0, {}},
        {"a locale the system lacks", {}, {}, {"LANG=xx_XX.UTF-8"},
            {{5,
                "WARN language: the locale xx_XX.UTF-8 (from LANG) is not installed, " + stays_english
                    + "; install the locale or choose one that is"}},
            0, {}},
        {"LC_ALL before LC_MESSAGES and LANG", {}, {}, {"LC_ALL=xx_XX.UTF-8", "LC_MESSAGES=de_DE.UTF-8"},
            {{5,
                "WARN language: the locale xx_XX.UTF-8 (from LC_ALL) is not installed, " + stays_english
                    + "; install the locale or choose one that is"}},
            0, {}},
    };
    e2e::for_each_row(cases, [&](const auto& c) { run_check(c); });
}

} // namespace
