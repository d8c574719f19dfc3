// Feeding md5_process as its callers do, for the digest tests.
#pragma once

#include "md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::string to_hex(const std::uint8_t (&digest)[16])
{
    char buf[33];
    for (int i = 0; i < 16; ++i)
        std::snprintf(buf + 2 * i, 3, "%02x", digest[i]);
    return std::string(buf, 32);
}

// Feeds `message` to md5_process the way a streaming caller does: block
// calls of the given sizes (rounded down to whole blocks), then one finishing
// call, from a buffer that starts `offset` bytes past an aligned address.
inline std::string digest_in_calls(
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
    // The byte after the digest tells a write past its 16 bytes.
    struct {
        std::uint8_t digest[16];
        std::uint8_t guard = 0xa5;
    } out;
    EXPECT_EQ(md5_process(buffer, static_cast<std::uint32_t>(rest), out.digest, state), nullptr);
    EXPECT_EQ(out.guard, 0xa5) << "a digest of more than 16 bytes";
    return to_hex(out.digest);
}
