// The product's files that the suites run: the build tree's by default, or
// those the environment names, so that the same suites run against an
// installed system (debian/tests builds them there and names the installed
// paths).
#pragma once

#include <string>

namespace rig {

// The variables, each with the path a package installs to.
inline constexpr const char* mkprofile_variable = "TOLVANE_TEST_MKPROFILE"; // /usr/sbin/tv-mkprofile
inline constexpr const char* plugin_variable = "TOLVANE_TEST_PLUGIN"; // /usr/lib/<triplet>/tolvane/libtolvane-notify.so
inline constexpr const char* notify_check_variable = "TOLVANE_TEST_NOTIFY_CHECK"; // /usr/bin/tolvane-notify-check
// The directory of the catalogues, LANG/LC_MESSAGES/tolvane.mo: /usr/share/locale
inline constexpr const char* catalogues_variable = "TOLVANE_TEST_CATALOGUES";

// The path the environment variable holds, else `built`. The first time each
// variable is asked for, a line on standard output names the path and where
// it came from, so that a test log tells what was tested.
std::string artifact(const char* variable, const char* built);

} // namespace rig
