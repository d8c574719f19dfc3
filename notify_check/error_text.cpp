#include "error_text.h"

#include <clocale> // newlocale, strerror_l and freelocale, with _GNU_SOURCE
#include <cstring>

std::string error_text(int error)
{
    const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", nullptr);
    if (c_locale == nullptr)
        return "error " + std::to_string(error);
    std::string text = ::strerror_l(error, c_locale);
    ::freelocale(c_locale);
    return text;
}
