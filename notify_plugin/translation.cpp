#include "translation.h"

#include <libintl.h>

#include <clocale>

void set_up_translation()
{
    // The host's whole process takes its locale from the environment, once per
    // registration; a locale that cannot be set leaves the texts in English.
    (void)std::setlocale(LC_ALL, ""); // NOLINT(concurrency-mt-unsafe)
    bindtextdomain(text_domain, locale_directory);
    bind_textdomain_codeset(text_domain, "UTF-8");
    // Hosts may rely on finding the plug-in's domain selected; the plug-in
    // itself never depends on it, see translate().
    textdomain(text_domain);
}

const char* translate(const char* text)
{
    return dgettext(text_domain, text);
}
