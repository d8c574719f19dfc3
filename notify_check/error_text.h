// The system's text for an error number, in English whatever the locale:
// the lines of this program are English, and the language check leaves the
// user's locale in force for the test notification.
#pragma once

#include <string>

std::string error_text(int error);
