#include "checks.h"
#include "translation.h"

#include <algorithm>
#include <array>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

const std::string subject = "language";

struct Setting {
    std::string locale; // as the environment names it
    std::string origin; // the variable that names it
};

// NOLINTBEGIN(concurrency-mt-unsafe): the program reads its environment on one thread.
const char* variable(const char* name)
{
    const char* value = std::getenv(name);
    return value && *value ? value : nullptr;
}

// The variable that decides the language of messages, in the order POSIX
// gives them precedence.
Setting messages_setting()
{
    constexpr std::array<const char*, 3> names = {"LC_ALL", "LC_MESSAGES", "LANG"};
    const auto* found = std::find_if(names.begin(), names.end(), [](const char* name) { return variable(name); });
    if (found == names.end())
        return {"C", ""};
    return {variable(*found), *found};
}
// NOLINTEND(concurrency-mt-unsafe)

bool is_plain_locale(std::string_view name)
{
    return name == "C" || name == "POSIX" || name.starts_with("C.");
}

// English needs no catalogue: the texts are written in it.
bool is_english(std::string_view name)
{
    return is_plain_locale(name) || name == "en" || name.starts_with("en_") || name.starts_with("en.")
        || name.starts_with("en@");
}

// gettext hands out a catalogue's header as the translation of "".
std::string catalogue_language(const char* header)
{
    const std::string_view text = header;
    const size_t at = text.find("Language: ");
    if (at == std::string_view::npos)
        return {};
    const size_t start = at + std::strlen("Language: ");
    return std::string(text.substr(start, text.find('\n', start) - start));
}

} // namespace

CheckResult check_language()
{
    set_up_translation();
    const Setting setting = messages_setting();
    const char* in_force = std::setlocale(LC_MESSAGES, nullptr); // NOLINT(concurrency-mt-unsafe)
    const std::string suffix = std::string("summaries end in \"")
        + translate(" has been blocked from accessing the files and folders") + "\"";
    const std::string named
        = setting.locale + (setting.origin.empty() ? " (no locale variable is set)" : " (from " + setting.origin + ")");

    // A locale the system lacks leaves the whole process in C, which only
    // matters for other languages than English.
    if (!is_english(setting.locale) && in_force && is_plain_locale(in_force))
        return {Verdict::warn, subject,
            "the locale " + named + " is not installed, so notifications are in English (" + suffix
                + "); install the locale or choose one that is"};
    const char* header = translate("");
    if (*header != '\0') {
        const std::string language = catalogue_language(header);
        return {Verdict::ok, subject,
            named + " takes its texts from the tolvane catalogue" + (language.empty() ? "" : " for " + language)
                + " in " + locale_directory + ": " + suffix};
    }
    // gettext follows LANGUAGE before the locale, unless the locale is C.
    const char* language_list = variable("LANGUAGE"); // NOLINT(concurrency-mt-unsafe)
    const bool from_language = language_list && !is_plain_locale(setting.locale);
    const std::string wanted
        = from_language ? std::string(language_list).substr(0, std::string(language_list).find(':')) : setting.locale;
    if (is_english(wanted))
        return {Verdict::ok, subject,
            (from_language ? wanted + " (from LANGUAGE)" : named) + " is English, which needs no catalogue: " + suffix};
    return {Verdict::warn, subject,
        "no tolvane catalogue for " + (from_language ? wanted + " (from LANGUAGE)" : wanted) + " in " + locale_directory
            + ", so notifications are in English (" + suffix
            + "); install the tolvane-notify package's catalogues, or add a translation for this language"};
}
