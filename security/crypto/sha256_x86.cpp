// SHA-256 block function on the x86 SHA extensions. Only built for x86-64,
// and only called once cpuid has said the CPU has them.
#include "security/crypto/sha256.h"

#include <cpuid.h>
#include <immintrin.h>

namespace {

constexpr auto &K = SHA256_K;

} // namespace

bool sha256_x86_supported()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    bool ssse3 = (ecx & bit_SSSE3) != 0;
    bool sse41 = (ecx & bit_SSE4_1) != 0;
    if (__get_cpuid_max(0, nullptr) < 7)
        return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    bool sha = (ebx & bit_SHA) != 0;
    return ssse3 && sse41 && sha;
}

void sha256_x86_blocks(uint32_t *state, const uint8_t *blocks, size_t blockCount)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);

    // The round instructions want the state as ABEF / CDGH.
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0xB1);
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4)), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);

    for (const uint8_t *p = blocks; blockCount > 0; --blockCount, p += SHA256_BLOCK_SIZE) {
        const __m128i abefSave = state0;
        const __m128i cdghSave = state1;
        __m128i m[4];

#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            if (g < 4) {
                m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 16 * g)),
                                        byteSwap);
            } else {
                // W[t-16] + s0(W[t-15]) + W[t-7], then + s1(W[t-2]).
                __m128i x = _mm_sha256msg1_epu32(m[g & 3], m[(g + 1) & 3]);
                x = _mm_add_epi32(x, _mm_alignr_epi8(m[(g + 3) & 3], m[(g + 2) & 3], 4));
                m[g & 3] = _mm_sha256msg2_epu32(x, m[(g + 3) & 3]);
            }
            __m128i msg =
                _mm_add_epi32(m[g & 3], _mm_load_si128(reinterpret_cast<const __m128i *>(K + 4 * g)));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(msg, 0x0E));
        }

        state0 = _mm_add_epi32(state0, abefSave);
        state1 = _mm_add_epi32(state1, cdghSave);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);
    state1 = _mm_shuffle_epi32(state1, 0xB1);
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);
    state1 = _mm_alignr_epi8(state1, tmp, 8);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), state1);
}
