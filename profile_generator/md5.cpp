#include "md5.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

// Row i is step i+1 of the RFC 1321 transform: T[i+1] = floor(2^32 * |sin(i+1)|),
// the message word that step adds, and its rotation. Being constexpr lets the
// compiler fold every row into the unrolled transform below.
// clang-format off
constexpr std::array<Md5Step, 64> md5_step_table = {{
    // Round 1: word i, rotations 7 12 17 22.
    {0xd76aa478, 0, 7},   {0xe8c7b756, 1, 12},  {0x242070db, 2, 17},  {0xc1bdceee, 3, 22},
    {0xf57c0faf, 4, 7},   {0x4787c62a, 5, 12},  {0xa8304613, 6, 17},  {0xfd469501, 7, 22},
    {0x698098d8, 8, 7},   {0x8b44f7af, 9, 12},  {0xffff5bb1, 10, 17}, {0x895cd7be, 11, 22},
    {0x6b901122, 12, 7},  {0xfd987193, 13, 12}, {0xa679438e, 14, 17}, {0x49b40821, 15, 22},
    // Round 2: word (1 + 5i) mod 16, rotations 5 9 14 20.
    {0xf61e2562, 1, 5},   {0xc040b340, 6, 9},   {0x265e5a51, 11, 14}, {0xe9b6c7aa, 0, 20},
    {0xd62f105d, 5, 5},   {0x02441453, 10, 9},  {0xd8a1e681, 15, 14}, {0xe7d3fbc8, 4, 20},
    {0x21e1cde6, 9, 5},   {0xc33707d6, 14, 9},  {0xf4d50d87, 3, 14},  {0x455a14ed, 8, 20},
    {0xa9e3e905, 13, 5},  {0xfcefa3f8, 2, 9},   {0x676f02d9, 7, 14},  {0x8d2a4c8a, 12, 20},
    // Round 3: word (5 + 3i) mod 16, rotations 4 11 16 23.
    {0xfffa3942, 5, 4},   {0x8771f681, 8, 11},  {0x6d9d6122, 11, 16}, {0xfde5380c, 14, 23},
    {0xa4beea44, 1, 4},   {0x4bdecfa9, 4, 11},  {0xf6bb4b60, 7, 16},  {0xbebfbc70, 10, 23},
    {0x289b7ec6, 13, 4},  {0xeaa127fa, 0, 11},  {0xd4ef3085, 3, 16},  {0x04881d05, 6, 23},
    {0xd9d4d039, 9, 4},   {0xe6db99e5, 12, 11}, {0x1fa27cf8, 15, 16}, {0xc4ac5665, 2, 23},
    // Round 4: word 7i mod 16, rotations 6 10 15 21.
    {0xf4292244, 0, 6},   {0x432aff97, 7, 10},  {0xab9423a7, 14, 15}, {0xfc93a039, 5, 21},
    {0x655b59c3, 12, 6},  {0x8f0ccc92, 3, 10},  {0xffeff47d, 10, 15}, {0x85845dd1, 1, 21},
    {0x6fa87e4f, 8, 6},   {0xfe2ce6e0, 15, 10}, {0xa3014314, 6, 15},  {0x4e0811a1, 13, 21},
    {0xf7537e82, 4, 6},   {0xbd3af235, 11, 10}, {0x2ad7d2bb, 2, 15},  {0xeb86d391, 9, 21},
}};
// clang-format on

namespace {

constexpr std::uint32_t initial_a = 0x67452301;
constexpr std::uint32_t initial_b = 0xefcdab89;
constexpr std::uint32_t initial_c = 0x98badcfe;
constexpr std::uint32_t initial_d = 0x10325476;

constexpr std::size_t block_size = 64;
constexpr std::size_t work_buffer_size = 16384;
constexpr std::size_t piece_size = 8192; // whole blocks, so only the last piece can leave a tail

// F, G, H and I of RFC 1321, in forms that give the same bits but let the
// part that does not depend on b be computed before b is known: b is the
// value the previous step has just produced, so it sits on the critical path.
template <std::size_t Round>
constexpr std::uint32_t add_round_function(std::uint32_t sum, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    if constexpr (Round == 0)
        return sum + (d ^ (b & (c ^ d))); // (b & c) | (~b & d)
    else if constexpr (Round == 1)
        return sum + (c & ~d) + (b & d); // (b & d) | (c & ~d): the two parts never share a bit
    else if constexpr (Round == 2)
        return sum + (b ^ (c ^ d));
    else
        return sum + (c ^ (b | ~d));
}

// The four working words rotate roles every step; instead of moving values,
// step I reads them at positions shifted by I, which the compiler resolves
// to registers once the loop is unrolled.
template <std::size_t I>
inline void md5_step(std::array<std::uint32_t, 4>& v, const std::array<std::uint32_t, 16>& x)
{
    constexpr Md5Step row = md5_step_table[I];
    std::uint32_t& a = v[(0 - I) & 3];
    const std::uint32_t b = v[(1 - I) & 3];
    const std::uint32_t c = v[(2 - I) & 3];
    const std::uint32_t d = v[(3 - I) & 3];
    a = b + std::rotl(add_round_function<I / 16>(a + x[row.word_index] + row.constant, b, c, d), row.shift);
}

template <std::size_t... I>
inline void md5_steps(
    std::array<std::uint32_t, 4>& v, const std::array<std::uint32_t, 16>& x, std::index_sequence<I...>)
{
    (md5_step<I>(v, x), ...);
}

void process_block(Md5State& state, const std::uint8_t* block)
{
    std::array<std::uint32_t, 16> x;
    load_block_words(x.data(), block, block_size);
    std::array<std::uint32_t, 4> v = {state.a, state.b, state.c, state.d};
    md5_steps(v, x, std::make_index_sequence<md5_step_table.size()>{});
    state.a += v[0];
    state.b += v[1];
    state.c += v[2];
    state.d += v[3];
}

void process_blocks(Md5State& state, const std::uint8_t* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        process_block(state, bytes + i * block_size);
}

} // namespace

void load_block_words(std::uint32_t* words, const std::uint8_t* bytes, std::size_t count)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(words, bytes, count / 4 * 4);
    } else {
        for (std::size_t i = 0; i < count / 4; ++i)
            words[i] = std::uint32_t{bytes[4 * i]} | std::uint32_t{bytes[4 * i + 1]} << 8
                | std::uint32_t{bytes[4 * i + 2]} << 16 | std::uint32_t{bytes[4 * i + 3]} << 24;
    }
}

void encode_words_le(std::uint8_t* bytes, const std::uint32_t* words, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(words[i / 4] >> (8 * (i % 4)));
}

Md5State* md5_process(std::uint8_t* buffer, std::uint32_t length, std::uint8_t* digest, Md5State* state)
{
    if (state == nullptr) {
        state = static_cast<Md5State*>(std::calloc(1, sizeof(Md5State)));
        if (state == nullptr)
            return nullptr;
        state->a = initial_a;
        state->b = initial_b;
        state->c = initial_c;
        state->d = initial_d;
    }
    state->byte_count += length;

    if (length != 0 && length % block_size == 0) {
        process_blocks(*state, buffer, length / block_size);
        return state;
    }

    const std::size_t tail = length % block_size;
    const std::size_t padding = tail > 55 ? 120 - tail : 56 - tail;
    std::uint8_t* pad = buffer + length;
    std::memset(pad, 0, padding);
    pad[0] = 0x80;
    const std::array<std::uint32_t, 2> bit_length = {state->byte_count << 3, state->byte_count >> 29};
    encode_words_le(pad + padding, bit_length.data(), 8);
    process_blocks(*state, buffer, (std::size_t{length} + padding + 8) / block_size);

    if (digest != nullptr) {
        const std::array<std::uint32_t, 4> words = {state->a, state->b, state->c, state->d};
        encode_words_le(digest, words.data(), 16);
    }
    std::free(state);
    return nullptr;
}

std::string md5_hex(const char* text)
{
    const std::unique_ptr<std::uint8_t[]> work(new (std::nothrow) std::uint8_t[work_buffer_size]());
    if (!work)
        return {};

    std::size_t remaining = std::strlen(text);
    const char* next = text;
    std::size_t fill = 0;
    Md5State* state = nullptr;
    for (;;) {
        const std::size_t piece = remaining < piece_size ? remaining : piece_size;
        std::memcpy(work.get() + fill, next, piece);
        if (remaining == 0)
            break;
        next += piece;
        fill += piece;
        remaining -= piece;
        if (fill % block_size == 0) {
            state = md5_process(work.get(), static_cast<std::uint32_t>(fill), nullptr, state);
            if (state == nullptr)
                return {};
            fill = 0;
        }
    }

    // The finishing call returns null whether or not it could allocate a
    // state; only a call that went through writes the 0x80 padding marker.
    std::uint8_t* const marker = work.get() + fill;
    *marker = 0;
    std::array<std::uint8_t, 16> digest{};
    md5_process(work.get(), static_cast<std::uint32_t>(fill), digest.data(), state);
    // cppcheck does not see md5_process write through the buffer pointer.
    // cppcheck-suppress knownConditionTrueFalse
    if (*marker != 0x80)
        return {};

    // Each byte as "%.2x" would print it: two lowercase digits, leading zero kept.
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex(2 * digest.size(), '0');
    auto out = hex.begin();
    for (const std::uint8_t byte : digest) {
        *out++ = digits[byte >> 4];
        *out++ = digits[byte & 15];
    }
    return hex;
}
