// Making a byte text valid UTF-8 for the bus, which refuses any other string.
#pragma once

#include <string>
#include <string_view>

// Copies `text`, replacing each maximal ill-formed subsequence with U+FFFD
// (the Unicode practice also used by the web's decoders): a truncated but
// otherwise valid prefix of a sequence becomes one U+FFFD, every other bad
// byte one U+FFFD of its own. Each noncharacter (U+FDD0 to U+FDEF, and the
// last two code points of every plane) becomes one U+FFFD too: the bus
// refuses those as well.
std::string repair_utf8(std::string_view text);
