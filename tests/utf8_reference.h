// A deliberately plain model of UTF-8 repair, for the differential tests: it
// works from the definition, not from a table of byte ranges. A lead byte's
// high bits give the sequence length; a prefix of a sequence is kept going
// while some code point could still complete it (the bits it fixes leave a
// range of values, which must meet the length's own range outside the
// surrogates). Each maximal such prefix that stops short becomes one U+FFFD,
// and so does each byte that starts no sequence at all, and each complete
// sequence whose code point is a noncharacter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace utf8_reference {

inline int sequence_length(unsigned char lead)
{
    if (lead >> 7 == 0)
        return 1;
    if (lead >> 5 == 0b110)
        return 2;
    if (lead >> 4 == 0b1110)
        return 3;
    if (lead >> 3 == 0b11110)
        return 4;
    return 0;
}

// Whether the first `count` bytes of `bytes` (all but the lead being
// 10xxxxxx) can begin a well-formed sequence of `length` bytes.
inline bool can_begin(const unsigned char* bytes, int count, int length)
{
    const int payload_bits[] = {0, 7, 5, 4, 3};
    std::uint32_t low = bytes[0] & ((1u << payload_bits[length]) - 1);
    for (int i = 1; i < count; ++i)
        low = low << 6 | (bytes[i] & 0x3Fu);
    const int free_bits = 6 * (length - count);
    low <<= free_bits;
    const std::uint32_t high = low | ((1u << free_bits) - 1);
    const std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    const std::uint32_t longest[] = {0, 0x7F, 0x7FF, 0xFFFF, 0x10FFFF};
    const std::uint32_t from = low > shortest[length] ? low : shortest[length];
    const std::uint32_t to = high < longest[length] ? high : longest[length];
    if (from > to)
        return false;
    return from < 0xD800 || to > 0xDFFF; // not only surrogates
}

inline std::uint32_t decode(const unsigned char* bytes, int length)
{
    const int payload_bits[] = {0, 7, 5, 4, 3};
    std::uint32_t code_point = bytes[0] & ((1u << payload_bits[length]) - 1);
    for (int i = 1; i < length; ++i)
        code_point = code_point << 6 | (bytes[i] & 0x3Fu);
    return code_point;
}

// Unicode's noncharacters: a block of 32, and the last two of every plane.
inline bool is_noncharacter(std::uint32_t code_point)
{
    return (code_point >= 0xFDD0 && code_point <= 0xFDEF) || (code_point & 0xFFFF) >= 0xFFFE;
}

inline std::string repair(std::string_view text)
{
    const std::string replacement = "\xEF\xBF\xBD";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        const int length = sequence_length(bytes[at]);
        int valid = 0;
        while (valid < length && at + valid < text.size() && (valid == 0 || (bytes[at + valid] & 0xC0) == 0x80)
            && can_begin(bytes + at, valid + 1, length))
            ++valid;
        if (length != 0 && valid == length && !is_noncharacter(decode(bytes + at, length))) {
            out.append(text.substr(at, length));
            at += length;
        } else {
            out += replacement;
            at += valid == 0 ? 1 : valid;
        }
    }
    return out;
}

} // namespace utf8_reference
