#include "utf8_repair.h"

#include <cstddef>

namespace {

constexpr std::string_view replacement_character = "\xEF\xBF\xBD";

struct LeadByte {
    std::size_t length; // bytes in the whole sequence, 0 if never a lead
    unsigned char second_min; // range of the first continuation byte, which
    unsigned char second_max; // excludes overlongs, surrogates and > U+10FFFF
};

// Well-formed UTF-8 byte sequences, after the Unicode standard's table.
LeadByte classify(unsigned char lead)
{
    if (lead < 0x80)
        return {1, 0, 0};
    if (lead < 0xC2)
        return {0, 0, 0};
    if (lead < 0xE0)
        return {2, 0x80, 0xBF};
    if (lead == 0xE0)
        return {3, 0xA0, 0xBF};
    if (lead == 0xED)
        return {3, 0x80, 0x9F};
    if (lead < 0xF0)
        return {3, 0x80, 0xBF};
    if (lead == 0xF0)
        return {4, 0x90, 0xBF};
    if (lead < 0xF4)
        return {4, 0x80, 0xBF};
    if (lead == 0xF4)
        return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// How many bytes from `at` form a valid sequence (its full length) or, when
// the result is not the full length, the maximal prefix to be replaced.
std::size_t scan_sequence(std::string_view text, std::size_t at, const LeadByte& lead)
{
    std::size_t used = 1;
    for (; used < lead.length && at + used < text.size(); ++used) {
        const auto byte = static_cast<unsigned char>(text[at + used]);
        const unsigned char min = used == 1 ? lead.second_min : 0x80;
        const unsigned char max = used == 1 ? lead.second_max : 0xBF;
        if (byte < min || byte > max)
            break;
    }
    return used;
}

// The noncharacters, which sd-bus refuses like ill-formed text: U+FDD0 to
// U+FDEF (EF B7 90..AF) and the last two code points of every plane, U+FFFE
// and U+FFFF (EF BF BE..BF) and U+nFFFE and U+nFFFF (F0..F4 with a second
// byte of the form x0xx1111, then BF BE..BF). `sequence` is well-formed.
bool is_noncharacter(std::string_view sequence)
{
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(sequence[i]); };
    if (sequence.size() == 3)
        return byte(0) == 0xEF
            && ((byte(1) == 0xB7 && byte(2) >= 0x90 && byte(2) <= 0xAF) || (byte(1) == 0xBF && byte(2) >= 0xBE));
    if (sequence.size() == 4)
        return (byte(1) & 0x0F) == 0x0F && byte(2) == 0xBF && byte(3) >= 0xBE;
    return false;
}

} // namespace

std::string repair_utf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const LeadByte lead = classify(static_cast<unsigned char>(text[at]));
        if (lead.length == 0) {
            out += replacement_character;
            ++at;
            continue;
        }
        const std::size_t used = scan_sequence(text, at, lead);
        const std::string_view sequence = text.substr(at, used);
        if (used == lead.length && !is_noncharacter(sequence))
            out += sequence;
        else
            out += replacement_character;
        at += used;
    }
    return out;
}
