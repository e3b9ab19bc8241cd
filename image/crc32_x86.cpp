// Carry-less multiply folding for the component CRC (x86-64 only). Blocks of
// 128 bits are folded forward by multiplying with x^n mod P, then the last
// block is reduced to 32 bits with a Barrett step. Register in, register out.
#include <immintrin.h>

#include "image/crc32.h"

namespace {

// Fold constants for a distance of n x 128 bits: low qword (x^(128n+32) mod P)',
// high qword (x^(128n-32) mod P)', bit-reflected and shifted left by one.
inline __m128i fold_constant(int n)
{
    static const uint64_t k[9][2] = {
        {0, 0},
        {0x1751997d0, 0x0ccaa009e},
        {0x0f1da05aa, 0x15a546366},
        {0x03db1ecdc, 0x174359406},
        {0x154442bd4, 0x1c6e41596},
        {0x1c7569e54, 0x0ae0b5394},
        {0x0df068dc2, 0x18cb44e58},
        {0x1ea89367e, 0x1d7cfc6ac},
        {0x1e88ef372, 0x14a7fe880},
    };
    return _mm_set_epi64x(static_cast<long long>(k[n][1]), static_cast<long long>(k[n][0]));
}

constexpr long long K5 = 0x163cd6124;         // (x^64 mod P)' << 1
constexpr long long POLY_R = 0x1db710641;     // P reflected, 33 bits
constexpr long long BARRETT_MU = 0x1f7011641; // (x^64 / P)' reflected, 33 bits

inline __m128i load128(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p)); }

inline __m128i fold(__m128i x, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// acc[0] holds the oldest data; folds all eight into one block.
inline __m128i fold_eight_to_one(const __m128i acc[8])
{
    __m128i x = acc[7];
    for (int i = 0; i < 7; i++)
        x = _mm_xor_si128(x, fold(acc[i], fold_constant(7 - i)));
    return x;
}

inline uint32_t reduce128(__m128i x)
{
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    // 128 -> 64 bits.
    __m128i t = _mm_srli_si128(x, 8);
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, fold_constant(1), 0x10), t);
    // 64 -> 32 bits (plus the 32 bits of x^32 that the CRC definition appends).
    t = _mm_srli_si128(x, 4);
    x = _mm_and_si128(x, mask32);
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, _mm_set_epi64x(0, K5), 0x00), t);
    // Barrett reduction.
    const __m128i ru = _mm_set_epi64x(BARRETT_MU, POLY_R);
    t = x;
    x = _mm_and_si128(x, mask32);
    x = _mm_clmulepi64_si128(x, ru, 0x10);
    x = _mm_and_si128(x, mask32);
    x = _mm_clmulepi64_si128(x, ru, 0x00);
    x = _mm_xor_si128(x, t);
    return static_cast<uint32_t>(_mm_extract_epi32(x, 1));
}

// Folds the whole 16-byte blocks left after the wide loops, then hands the
// reduced register and the last bytes to the table code.
inline uint32_t finish(__m128i x, const uint8_t *p, uint32_t length)
{
    const __m128i k1 = fold_constant(1);
    while (length >= 16) {
        x = _mm_xor_si128(fold(x, k1), load128(p));
        p += 16;
        length -= 16;
    }
    return image_crc32_portable(p, length, reduce128(x));
}

} // namespace

uint32_t image_crc32_pclmul(const uint8_t *data, uint32_t length, uint32_t seed)
{
    if (length < 64)
        return image_crc32_portable(data, length, seed);
    const __m128i first = _mm_xor_si128(load128(data), _mm_cvtsi32_si128(static_cast<int>(seed)));
    if (length < 128)
        return finish(first, data + 16, length - 16);

    __m128i acc[8];
    acc[0] = first;
    for (int i = 1; i < 8; i++)
        acc[i] = load128(data + 16 * i);
    data += 128;
    length -= 128;
    const __m128i k8 = fold_constant(8);
    while (length >= 128) {
        for (int i = 0; i < 8; i++)
            acc[i] = _mm_xor_si128(fold(acc[i], k8), load128(data + 16 * i));
        data += 128;
        length -= 128;
    }
    return finish(fold_eight_to_one(acc), data, length);
}

// Same scheme on 256-bit registers: four of them hold eight consecutive blocks.
// Only called after CPUID has shown AVX2 and VPCLMULQDQ.
__attribute__((target("avx2,vpclmulqdq"))) uint32_t image_crc32_vpclmul256(const uint8_t *data,
                                                                           uint32_t length, uint32_t seed)
{
    if (length < 256)
        return image_crc32_pclmul(data, length, seed);
    __m256i acc[4];
    acc[0] = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(data)),
                              _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(seed))));
    for (int i = 1; i < 4; i++)
        acc[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 32 * i));
    data += 128;
    length -= 128;
    const __m256i k8 = _mm256_broadcastsi128_si256(fold_constant(8));
    while (length >= 128) {
        for (int i = 0; i < 4; i++) {
            const __m256i lo = _mm256_clmulepi64_epi128(acc[i], k8, 0x00);
            const __m256i hi = _mm256_clmulepi64_epi128(acc[i], k8, 0x11);
            acc[i] = _mm256_xor_si256(_mm256_xor_si256(lo, hi),
                                      _mm256_loadu_si256(reinterpret_cast<const __m256i *>(data + 32 * i)));
        }
        data += 128;
        length -= 128;
    }
    __m128i blocks[8];
    for (int i = 0; i < 4; i++) {
        blocks[2 * i] = _mm256_castsi256_si128(acc[i]);
        blocks[2 * i + 1] = _mm256_extracti128_si256(acc[i], 1);
    }
    return finish(fold_eight_to_one(blocks), data, length);
}
