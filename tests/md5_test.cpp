// The digest against published answers and answers computed elsewhere,
// whole and fed in pieces from misaligned buffers; and what happens when
// memory runs out. Nothing here needs another MD5, so it runs on every
// machine the generator is built for, big-endian ones included.
#include "md5.h"
#include "md5_feed.h"

#include "profile_path.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <new>
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

// Bytes 1, 2, ..., 251, 1, 2, ...: every value but NUL, which would end
// md5_hex's text, in a period that is no divisor of a block.
std::string counting_bytes(std::size_t length)
{
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i)
        text[i] = static_cast<char>(1 + i % 251);
    return text;
}

struct KnownAnswer {
    std::string message;
    const char* digest;
};

// RFC 1321's test suite, then lengths around the padding's edges (a tail of
// 55 bytes still takes the length field, one of 56 needs another block),
// whole blocks, and md5_hex's 8 KiB pieces, with digests from md5sum.
const std::vector<KnownAnswer> known_answers = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
        "57edf4a22be3c955ac49da2e2107b67a"},
    {counting_bytes(1), "55a54008ad1ba589aa210d2629c1df41"},
    {counting_bytes(54), "5be9c52d3e8ae8f85129fc610e3e7bd1"},
    {counting_bytes(55), "b0dfea8a6c34da94d11ac2d6859fdd0b"},
    {counting_bytes(56), "0e948e7f8183ae39d759364fa6d61cd2"},
    {counting_bytes(57), "adc5941735e23599c993d518ae4278de"},
    {counting_bytes(63), "d41676f6509e0ade859c0040ea4bfdc0"},
    {counting_bytes(64), "50e845bfe6c70fee663ab5500fd0c411"},
    {counting_bytes(65), "044894247ae4b4e80648e446fe9af9cd"},
    {counting_bytes(119), "663fb06214082d0dcb8bc068b48cd7d6"},
    {counting_bytes(120), "fc8624c702e223cde12e604baa4eeef9"},
    {counting_bytes(127), "ca927a2522f2e2d0c150c1e1a89139ce"},
    {counting_bytes(128), "a71afaca791df5aaadb02473dcff25dd"},
    {counting_bytes(129), "5d8c4cea03b25b113f0c62d247955ac8"},
    {counting_bytes(8191), "edd33118602a090554c50e04df997307"},
    {counting_bytes(8192), "b544637b61f06d2564cd4f84777c01b3"},
    {counting_bytes(8193), "35b8cd8e21a3b2acca9595b2bd097256"},
    {counting_bytes(8255), "17e935a84ac1f4c0d702ffb995a4c1b7"},
    {counting_bytes(8256), "0b4de1d3e7f368159bd96b4abb35decd"},
    {counting_bytes(16383), "515e415130f1ba935ae261e827ce033b"},
    {counting_bytes(16384), "0b5a1b01ab6de06b84b8518d751c37f4"},
    {counting_bytes(16385), "4bdbc3d4cd84506cfadeea18862f2354"},
    {counting_bytes(24576), "04fd250522772f7feb754b35304a000f"},
    {counting_bytes(40000), "081db2c3e6832de5067d54e542594273"},
};

TEST(Md5, KnownAnswersWholeAndInBlockCallsFromMisalignedBuffers)
{
    const std::vector<std::vector<std::size_t>> plans = {{}, {64, 64, 128, 8192}, {192, 64}};
    for (const auto& [message, digest] : known_answers) {
        EXPECT_EQ(md5_hex(message.c_str()), digest) << "length " << message.size();
        const std::vector<std::uint8_t> bytes(message.begin(), message.end());
        for (const auto& plan : plans)
            for (std::size_t offset = 0; offset < 8; ++offset)
                EXPECT_EQ(digest_in_calls(bytes, plan, offset), digest)
                    << "length " << message.size() << ", offset " << offset << ", " << plan.size() << " planned calls";
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
        EXPECT_EQ(md5_hex(text.c_str()), digest_in_calls({text.begin(), text.end()}, {}, 0))
            << c.what << ": and all is well again";
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
