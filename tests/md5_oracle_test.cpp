// The digest against OpenSSL's, an independent implementation: random
// messages fed in random block calls from misaligned buffers, and the
// length field for counts no test message could reach.
#include "md5.h"
#include "md5_feed.h"

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

// The length field holds the count in bits, 64 bits wide, built from the
// 32-bit byte count: only counts of 2^29 bytes and more reach its high word.
// Such counts are set in the state directly; OpenSSL's context is given the
// same chaining values and count as the oracle.
TEST(Md5, BitLengthFieldCarriesTheByteCountTimesEight)
{
    const std::uint32_t counts[] = {0x1fffffc0, 0x20000000, 0x20000040, 0x7fffffc0, 0xa5a5a580, 0xffffffc0};
    const std::size_t tails[] = {0, 3, 55, 56, 63};
    std::mt19937 rng(29);
    for (const std::uint32_t count : counts) {
        for (const std::size_t tail : tails) {
            std::vector<std::uint8_t> buffer(64 + 72);
            for (auto& byte : buffer)
                byte = static_cast<std::uint8_t>(rng());
            const std::vector<std::uint8_t> message(buffer.begin(), buffer.begin() + 64 + static_cast<long>(tail));

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            MD5_CTX reference;
            MD5_Init(&reference);
            MD5_Update(&reference, message.data(), 64);
            reference.Nl = count << 3;
            reference.Nh = count >> 29;
            MD5_Update(&reference, message.data() + 64, tail);
            unsigned char expected[16];
            MD5_Final(expected, &reference);
#pragma GCC diagnostic pop

            Md5State* state = md5_process(buffer.data(), 64, nullptr, nullptr);
            ASSERT_NE(state, nullptr);
            state->byte_count = count;
            std::copy(message.begin() + 64, message.end(), buffer.begin());
            std::uint8_t digest[16];
            EXPECT_EQ(md5_process(buffer.data(), static_cast<std::uint32_t>(tail), digest, state), nullptr);
            EXPECT_EQ(to_hex(digest), to_hex(expected)) << std::hex << "count " << count << " tail " << tail;
        }
    }
}

} // namespace
