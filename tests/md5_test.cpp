#include "md5.h"

#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// OpenSSL's MD5 is the independent oracle; its low-level interface is
// deprecated in 3.0 but is the plainest one-shot call there is.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
std::string reference_hex(const std::uint8_t* data, std::size_t size)
{
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(data, size, digest);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}
#pragma GCC diagnostic pop

std::string reference_hex(const std::string& text)
{
    return reference_hex(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string to_hex(const std::uint8_t (&digest)[16])
{
    char buf[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(buf + 2 * i, 3, "%02x", digest[i]);
    return std::string(buf, 32);
}

// Feeds `message` to md5_process the way a streaming caller does: block
// calls of the given sizes (rounded down to whole blocks), then one finishing
// call, from a buffer that starts `offset` bytes past an aligned address.
std::string digest_in_calls(
    const std::vector<std::uint8_t>& message, const std::vector<std::size_t>& call_sizes, std::size_t offset)
{
    std::vector<std::uint8_t> storage(offset + message.size() + 72);
    std::uint8_t* buffer = storage.data() + offset;
    Md5State* state = nullptr;
    std::size_t done = 0;
    for (std::size_t size : call_sizes) {
        size -= size % 64;
        size = std::min(size, message.size() - done);
        size -= size % 64;
        if (size == 0)
            continue;
        std::copy(message.begin() + static_cast<std::ptrdiff_t>(done),
            message.begin() + static_cast<std::ptrdiff_t>(done + size), buffer);
        Md5State* next = md5_process(buffer, static_cast<std::uint32_t>(size), nullptr, state);
        EXPECT_NE(next, nullptr);
        if (state != nullptr) {
            EXPECT_EQ(next, state) << "a block call keeps the caller's state";
        }
        state = next;
        done += size;
    }
    // Whatever the planned calls left over as whole blocks goes in one more
    // block call: only a length that is not a non-zero multiple of 64 finishes.
    if (const std::size_t whole = (message.size() - done) / 64 * 64; whole != 0) {
        std::copy(message.begin() + static_cast<std::ptrdiff_t>(done),
            message.begin() + static_cast<std::ptrdiff_t>(done + whole), buffer);
        state = md5_process(buffer, static_cast<std::uint32_t>(whole), nullptr, state);
        done += whole;
    }
    const std::size_t rest = message.size() - done;
    std::copy(message.begin() + static_cast<std::ptrdiff_t>(done), message.end(), buffer);
    std::uint8_t digest[16];
    EXPECT_EQ(md5_process(buffer, static_cast<std::uint32_t>(rest), digest, state), nullptr);
    return to_hex(digest);
}

TEST(Md5, PublishedTestSuiteDigestsAreReproduced)
{
    const struct {
        const char* text;
        const char* digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
            "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(md5_hex(c.text), c.digest) << '"' << c.text << '"';
}

TEST(Md5, LengthsAroundBlockAndPieceBoundariesMatchTheReference)
{
    const std::size_t lengths[] = {1, 54, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 8191, 8192, 8193, 8255, 8256,
        16383, 16384, 16385, 24576, 40000};
    std::mt19937 rng(7);
    for (const std::size_t length : lengths) {
        std::string text(length, '\0');
        for (char& ch : text)
            ch = static_cast<char>(1 + rng() % 255); // no NUL: md5_hex stops there
        EXPECT_EQ(md5_hex(text.c_str()), reference_hex(text)) << "length " << length;
        const std::vector<std::uint8_t> bytes(text.begin(), text.end());
        EXPECT_EQ(digest_in_calls(bytes, {64, 64, 128, 8192}, 0), reference_hex(text)) << "length " << length;
    }
}

TEST(Md5, RandomMessagesInRandomBlockCallsMatchTheReference)
{
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        const std::size_t length = rng() % 40001;
        std::vector<std::uint8_t> message(length);
        for (auto& byte : message)
            byte = static_cast<std::uint8_t>(rng());
        std::vector<std::size_t> calls;
        for (std::size_t total = 0; total < length;) {
            calls.push_back(64 * (1 + rng() % 200));
            total += calls.back();
        }
        const std::string expected = reference_hex(message.data(), message.size());
        ASSERT_EQ(digest_in_calls(message, calls, rng() % 8), expected) << "round " << round;

        // The front end sees the text up to its first NUL.
        std::string text(message.begin(), message.end());
        text = text.c_str();
        ASSERT_EQ(md5_hex(text.c_str()), reference_hex(text)) << "round " << round;
    }
}

TEST(Md5, DigestTextIsAlwaysThirtyTwoLowercaseHexDigits)
{
    // Digest bytes below 0x10 must keep their leading zero.
    int with_leading_zero = 0;
    for (int i = 0; i < 200; ++i) {
        const std::string hex = md5_hex(std::to_string(i).c_str());
        ASSERT_EQ(hex.size(), 32u);
        ASSERT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << hex;
        for (std::size_t j = 0; j < 32; j += 2)
            with_leading_zero += hex[j] == '0';
    }
    EXPECT_GT(with_leading_zero, 0);
}

} // namespace
