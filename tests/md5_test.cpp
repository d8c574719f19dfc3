#include "md5.h"

#include "profile_path.h"

#include <dlfcn.h>
#include <openssl/md5.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
#include <random>
#include <string>
#include <vector>

// Allocation failure on demand, for the paths nothing else reaches: when
// armed, the next calloc (the digest state) or the next nothrow new[] (the
// work buffer) returns null. Otherwise both hand on to whatever allocator the
// process has, a sanitizer's included.
namespace {
std::atomic<bool> fail_next_calloc{false};
std::atomic<bool> fail_next_nothrow_array{false};
} // namespace

extern "C" void* calloc(std::size_t count, std::size_t size)
{
    using Calloc = void* (*)(std::size_t, std::size_t);
    static const auto next = reinterpret_cast<Calloc>(::dlsym(RTLD_NEXT, "calloc"));
    if (fail_next_calloc.exchange(false))
        return nullptr;
    return next(count, size);
}

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept
{
    if (fail_next_nothrow_array.exchange(false))
        return nullptr;
    try {
        return ::operator new[](size);
    } catch (...) {
        return nullptr;
    }
}

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

TEST(Md5, LengthsAroundBlockAndPieceBoundariesMatchTheReference)
{
    const std::size_t lengths[] = {0, 1, 54, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129, 8191, 8192, 8193, 8255,
        8256, 16383, 16384, 16385, 24576, 40000};
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

// Without memory there is no digest, and no profile path: an empty text,
// never a digest of something else.
TEST(Md5, AllocationFailureGivesNoDigest)
{
    const struct {
        const char* what;
        std::atomic<bool>* fail;
        std::size_t length;
    } cases[] = {
        {"work buffer", &fail_next_nothrow_array, 10},
        {"state at the finishing call", &fail_next_calloc, 10},
        {"state at the first block call", &fail_next_calloc, 128},
        {"state at the first block call of a long text", &fail_next_calloc, 9000},
    };
    for (const auto& c : cases) {
        const std::string text = "/" + std::string(c.length - 1, 'p');
        *c.fail = true;
        EXPECT_EQ(md5_hex(text.c_str()), "") << c.what;
        EXPECT_FALSE(*c.fail) << c.what << ": the allocation was never asked for";
        *c.fail = true;
        EXPECT_EQ(profile_path_for(text), "") << c.what;
        EXPECT_FALSE(*c.fail) << c.what << ": the allocation was never asked for";
        EXPECT_EQ(md5_hex(text.c_str()), reference_hex(text)) << c.what << ": and all is well again";
    }

    // A finishing call that cannot start a state leaves buffer and digest alone.
    std::vector<std::uint8_t> buffer(10 + 72, 0xa5);
    std::uint8_t digest[16];
    std::fill(std::begin(digest), std::end(digest), 0x5a);
    fail_next_calloc = true;
    EXPECT_EQ(md5_process(buffer.data(), 10, digest, nullptr), nullptr);
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(10 + 72, 0xa5));
    EXPECT_EQ(to_hex(digest), "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a");
}

} // namespace
