// Component CRC throughput against zlib and ISA-L over one 64 MiB buffer.
#include <benchmark/benchmark.h>
#include <isa-l/crc.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "image/crc32.h"

namespace {

constexpr size_t SIZE = 64u << 20;

const std::vector<uint8_t> &buffer()
{
    static const std::vector<uint8_t> buf = [] {
        std::vector<uint8_t> b(SIZE);
        std::mt19937 rng(1);
        for (auto &x : b)
            x = static_cast<uint8_t>(rng());
        return b;
    }();
    return buf;
}

template <typename F> void run(benchmark::State &state, F crc)
{
    const auto &buf = buffer();
    uint32_t sink = 0;
    for (auto _ : state) {
        sink ^= crc(buf.data(), static_cast<uint32_t>(buf.size()));
        benchmark::DoNotOptimize(sink);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(SIZE));
}

void ours(benchmark::State &state)
{
    Crc32Path best = Crc32Path::Portable;
    for (Crc32Path p : {Crc32Path::Pclmul, Crc32Path::Vpclmul256})
        if (crc32_path_available(p))
            best = p;
    crc32_force_path(best);
    state.SetLabel(best == Crc32Path::Vpclmul256 ? "vpclmul256"
                   : best == Crc32Path::Pclmul   ? "pclmul"
                                                 : "portable");
    run(state, [](const uint8_t *p, uint32_t n) { return image_crc32(p, n, 0xFFFFFFFF); });
}

void ours_portable(benchmark::State &state)
{
    run(state, [](const uint8_t *p, uint32_t n) { return image_crc32_portable(p, n, 0xFFFFFFFF); });
}

#if defined(IMGL_HAVE_X86_CRC)
void ours_pclmul128(benchmark::State &state)
{
    if (!crc32_path_available(Crc32Path::Pclmul)) {
        state.SkipWithError("no PCLMULQDQ");
        return;
    }
    run(state, [](const uint8_t *p, uint32_t n) { return image_crc32_pclmul(p, n, 0xFFFFFFFF); });
}
BENCHMARK(ours_pclmul128)->Name("ours_pclmul128/crc32_64MiB")->Unit(benchmark::kMillisecond);
#endif

void zlib_crc(benchmark::State &state)
{
    run(state, [](const uint8_t *p, uint32_t n) { return static_cast<uint32_t>(crc32(0, p, n)); });
}

void isal_crc(benchmark::State &state)
{
    run(state, [](const uint8_t *p, uint32_t n) { return crc32_gzip_refl(0, p, n); });
}

} // namespace

BENCHMARK(ours)->Name("ours/crc32_64MiB")->Unit(benchmark::kMillisecond);
BENCHMARK(ours_portable)->Name("ours_portable/crc32_64MiB")->Unit(benchmark::kMillisecond);
BENCHMARK(zlib_crc)->Name("zlib/crc32_64MiB")->Unit(benchmark::kMillisecond);
BENCHMARK(isal_crc)->Name("isal/crc32_64MiB")->Unit(benchmark::kMillisecond);
