// MD5 (RFC 1321) with a block-or-finish interface: the state keeps no
// pending bytes, whole blocks are hashed straight from the caller's buffer,
// and the padding is written into that buffer behind the message's tail.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct Md5State {
    std::uint32_t byte_count; // message bytes so far, modulo 2^32
    std::uint32_t a;
    std::uint32_t b;
    std::uint32_t c;
    std::uint32_t d;
};

struct Md5Step {
    std::uint32_t constant; // T[i+1] = floor(2^32 * |sin(i+1)|)
    std::uint8_t word_index; // message word added in this step
    std::uint8_t shift; // left-rotation amount
};

extern const std::array<Md5Step, 64> md5_step_table;

// Block call when `length` is a non-zero multiple of 64: hashes the blocks
// and returns the state (allocated when `state` is null). Any other length
// finishes: pads in place (the buffer needs room for length + 72 bytes),
// writes the 16-byte digest, frees the state and returns null. Also returns
// null, touching nothing, when a new state cannot be allocated.
Md5State* md5_process(std::uint8_t* buffer, std::uint32_t length, std::uint8_t* digest, Md5State* state);

// The digest of the bytes before the NUL as 32 lowercase hex digits; empty
// only when memory for the work buffer or the state cannot be had.
std::string md5_hex(const char* text);

void load_block_words(std::uint32_t* words, const std::uint8_t* bytes, std::size_t count);
void encode_words_le(std::uint8_t* bytes, const std::uint32_t* words, std::size_t count);
