// SHA-256 over a root-filesystem-sized buffer: our dispatching and portable
// paths against libcrypto's EVP digest.
#include "security/crypto/crypto.h"
#include "security/crypto/sha256.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <vector>

namespace {

constexpr size_t BUFFER_SIZE = 16u << 20;

const std::vector<uint8_t> &buffer()
{
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> d(BUFFER_SIZE);
        uint32_t x = 0x12345678;
        for (auto &b : d) {
            x = x * 1664525u + 1013904223u;
            b = uint8_t(x >> 24);
        }
        return d;
    }();
    return data;
}

void ours_sha256(benchmark::State &state)
{
    const auto &data = buffer();
    sha256_select_best_path();
    uint8_t digest[32];
    uint32_t length = 0;
    for (auto _ : state) {
        if (IMGSIGN_computeSHA256(data.data(), data.size(), digest, &length) != OK) {
            state.SkipWithError("IMGSIGN_computeSHA256 failed");
            break;
        }
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.SetLabel(sha256_active_path() == SHA256_PATH_PORTABLE ? "portable" : "x86_sha");
}

void ours_portable_sha256(benchmark::State &state)
{
    const auto &data = buffer();
    sha256_force_path(SHA256_PATH_PORTABLE);
    uint8_t digest[32];
    uint32_t length = 0;
    for (auto _ : state) {
        IMGSIGN_computeSHA256(data.data(), data.size(), digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    sha256_select_best_path();
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

void openssl_sha256(benchmark::State &state)
{
    const auto &data = buffer();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
            state.SkipWithError("EVP_Digest failed");
            break;
        }
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

} // namespace

BENCHMARK(ours_sha256)->Name("ours/sha256_16MiB")->Unit(benchmark::kMillisecond);
BENCHMARK(ours_portable_sha256)->Name("ours_portable/sha256_16MiB")->Unit(benchmark::kMillisecond);
BENCHMARK(openssl_sha256)->Name("openssl/sha256_16MiB")->Unit(benchmark::kMillisecond);
