// MD5 throughput of the generator's own unit against OpenSSL's, in one run.
#include "md5.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

void md5_hex_throughput(benchmark::State& state)
{
    const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
    for (auto _ : state)
        benchmark::DoNotOptimize(md5_hex(text.c_str()));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void md5_process_throughput(benchmark::State& state)
{
    const auto size = static_cast<std::uint32_t>(state.range(0));
    std::vector<std::uint8_t> buffer(size + 72, 'a');
    std::uint8_t digest[16];
    for (auto _ : state) {
        // Whole blocks first, then a finishing call for what is left.
        const std::uint32_t whole = size / 64 * 64;
        Md5State* s = whole ? md5_process(buffer.data(), whole, nullptr, nullptr) : nullptr;
        md5_process(buffer.data() + whole, size - whole, digest, s);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void openssl_md5_throughput(benchmark::State& state)
{
    const std::string text(static_cast<std::size_t>(state.range(0)), 'a');
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(openssl_md5_throughput)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(md5_hex_throughput)->Arg(64)->Arg(4096)->Arg(1 << 20);
BENCHMARK(md5_process_throughput)->Arg(64)->Arg(4096)->Arg(1 << 20);

BENCHMARK_MAIN();
