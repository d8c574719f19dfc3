// The UTF-8 repair against worked examples, then against the plain model in
// utf8_reference.h: on the fuzz target's seeds and on every short input built
// from the bytes where the well-formed ranges begin and end.
#include "file_text.h"
#include "utf8_reference.h"
#include "utf8_repair.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace {

const std::string fffd = "\xEF\xBF\xBD";

std::string hex(const std::string& bytes)
{
    std::string out;
    for (const unsigned char c : bytes) {
        out += "0123456789ABCDEF"[c >> 4];
        out += "0123456789ABCDEF"[c & 15];
        out += ' ';
    }
    return out;
}

// A code point of three or four bytes in UTF-8.
std::string encode(std::uint32_t c)
{
    const auto byte = [](std::uint32_t b) { return static_cast<char>(b); };
    if (c < 0x10000)
        return {byte(0xE0 | c >> 12), byte(0x80 | (c >> 6 & 0x3F)), byte(0x80 | (c & 0x3F))};
    return {byte(0xF0 | c >> 18), byte(0x80 | (c >> 12 & 0x3F)), byte(0x80 | (c >> 6 & 0x3F)), byte(0x80 | (c & 0x3F))};
}

// Checks the model as much as the repair: both must give the literal result.
TEST(Utf8Repair, ReplacesEachMaximalIllFormedSubsequenceWithOneReplacementCharacter)
{
    struct Case {
        std::string name;
        std::string input;
        std::string repaired;
    };
    std::vector<Case> cases = {
        {"empty", "", ""},
        {"ASCII", "/usr/bin/app", "/usr/bin/app"},
        {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        // sd-bus refuses the noncharacters as it refuses ill-formed text.
        {"U+FDD0 to U+FDEF", "\xEF\xB7\x90/opt/\xEF\xB7\xAF", fffd + "/opt/" + fffd},
        {"either side of U+FDD0 to U+FDEF", "\xEF\xB7\x8F\xEF\xB7\xB0", "\xEF\xB7\x8F\xEF\xB7\xB0"},
        // A program text that fills its 512-byte field, then the kind message.
        {"three bytes that end the program text's field", std::string(509, 'p') + "\xEF\xBF\xBF has been blocked",
            std::string(509, 'p') + fffd + " has been blocked"},
        {"four bytes that end the program text's field", std::string(508, 'p') + "\xF4\x8F\xBF\xBE has been blocked",
            std::string(508, 'p') + fffd + " has been blocked"},
        {"lone continuation bytes",
            "a\x80\xBF"
            "b",
            "a" + fffd + fffd + "b"},
        {"bytes that never start a sequence", "\xC0\xC1\xF5\xFF", fffd + fffd + fffd + fffd},
        {"overlong three bytes", "\xE0\x80\xAF", fffd + fffd + fffd},
        {"surrogate", "\xED\xA0\x80", fffd + fffd + fffd},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},
        {"truncated at the end", "ok\xE2\x82", "ok" + fffd},
        {"truncated before ASCII",
            "\xF0\x9F\x98"
            "x",
            fffd + "x"},
        // The Unicode standard's own example of U+FFFD substitution.
        {"standard example", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64",
            "a" + fffd + fffd + fffd + "b" + fffd + "c" + fffd + fffd + "d"},
    };
    // Each plane ends in two noncharacters; the code point before them and
    // the next plane's first are characters.
    for (std::uint32_t plane = 0; plane <= 16; ++plane) {
        const std::uint32_t last = plane << 16 | 0xFFFF;
        std::string input = encode(last - 2) + encode(last - 1) + encode(last);
        std::string repaired = encode(last - 2) + fffd + fffd;
        if (plane < 16) {
            input += encode(last + 1);
            repaired += encode(last + 1);
        }
        cases.push_back({"the end of plane " + std::to_string(plane), input, repaired});
    }
    for (const auto& c : cases) {
        EXPECT_EQ(repair_utf8(c.input), c.repaired) << c.name;
        EXPECT_EQ(utf8_reference::repair(c.input), c.repaired) << c.name << " (the model)";
    }
}

TEST(Utf8Repair, AgreesWithTheModelOnEveryFuzzSeed)
{
    int seeds = 0;
    for (const auto& entry : std::filesystem::directory_iterator(UTF8_REPAIR_SEEDS)) {
        const std::string input = rig::file_text(entry.path());
        EXPECT_EQ(repair_utf8(input), utf8_reference::repair(input)) << entry.path() << ": " << hex(input);
        ++seeds;
    }
    EXPECT_GE(seeds, 20);
}

// Every input of one or two bytes; of three and four bytes, every one made
// of the bytes on either side of a range bound of the well-formed table or
// of the noncharacters' encodings. Each is a view into a longer text, which
// the repair must not look past.
TEST(Utf8Repair, AgreesWithTheModelOnEveryShortInput)
{
    const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x81, 0x8F, 0x90, 0x9F, 0xA0, 0xAF, 0xB0, 0xB7, 0xBD, 0xBE,
        0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
    int inputs = 0;
    int mismatches = 0;
    const auto check = [&](const std::string& input) {
        ++inputs;
        const std::string expected = utf8_reference::repair(input);
        // A continuation byte just past the view's end: reading it would change the result.
        const std::string padded = input + '\xBF';
        const std::string repaired = repair_utf8(std::string_view(padded).substr(0, input.size()));
        if (repaired != expected && ++mismatches <= 10)
            ADD_FAILURE() << hex(input) << "gives " << hex(repaired) << "instead of " << hex(expected);
    };
    for (int a = 0; a < 256; ++a) {
        check(std::string(1, static_cast<char>(a)));
        for (int b = 0; b < 256; ++b)
            check({static_cast<char>(a), static_cast<char>(b)});
    }
    for (const auto a : edges)
        for (const auto b : edges)
            for (const auto c : edges) {
                const std::string three{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)};
                check(three);
                for (const auto d : edges)
                    check(three + static_cast<char>(d));
            }
    EXPECT_EQ(mismatches, 0) << "of " << inputs << " inputs";
}

} // namespace
