// The plug-in's texts in the user's language. They come from the plug-in's
// own text domain and always in UTF-8: the host may select a text domain of
// its own, and its locale may use another character set, which sd-bus
// would refuse in a string argument.
#pragma once

inline constexpr char text_domain[] = "tolvane";

// Where the catalogues are installed (<dir>/<lang>/LC_MESSAGES/tolvane.mo),
// as the build was configured.
inline constexpr char locale_directory[] = TOLVANE_LOCALE_DIR;

// Takes the process's locale from the environment, binds the text domain to
// locale_directory in UTF-8 and makes it the process's default domain.
void set_up_translation();

// The translation of `text` in the plug-in's domain, or `text` itself.
const char* translate(const char* text);
