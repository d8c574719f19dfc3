// Arbitrary bytes, split into arbitrary block calls of md5_process, must give
// OpenSSL's digest of the same bytes.
#include "md5.h"

#include <openssl/evp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte picks the buffer's misalignment, the next ones the sizes
    // of the block calls, in blocks; the rest is the message.
    if (size < 2)
        return 0;
    const std::size_t offset = data[0] % 8;
    const std::size_t split_count = data[1] % 8;
    if (size < 2 + split_count)
        return 0;
    const std::uint8_t* splits = data + 2;
    const std::uint8_t* message = splits + split_count;
    const std::size_t length = size - 2 - split_count;

    std::vector<std::uint8_t> storage(offset + length + 72);
    std::uint8_t* buffer = storage.data() + offset;
    Md5State* state = nullptr;
    std::size_t done = 0;
    for (std::size_t i = 0; i < split_count; ++i) {
        std::size_t call = 64 * (1 + splits[i] % 16);
        if (call > length - done)
            call = (length - done) / 64 * 64;
        if (call == 0)
            break;
        std::memcpy(buffer, message + done, call);
        state = md5_process(buffer, static_cast<std::uint32_t>(call), nullptr, state);
        done += call;
    }
    if (const std::size_t whole = (length - done) / 64 * 64; whole != 0) {
        std::memcpy(buffer, message + done, whole);
        state = md5_process(buffer, static_cast<std::uint32_t>(whole), nullptr, state);
        done += whole;
    }
    std::memcpy(buffer, message + done, length - done);
    std::uint8_t digest[16];
    if (md5_process(buffer, static_cast<std::uint32_t>(length - done), digest, state) != nullptr)
        std::abort();

    unsigned char expected[EVP_MAX_MD_SIZE];
    unsigned int expected_size = 0;
    EVP_Digest(message, length, expected, &expected_size, EVP_md5(), nullptr);
    if (expected_size != 16 || std::memcmp(digest, expected, 16) != 0)
        std::abort();
    return 0;
}
