#include "image/crc32.h"

#include <array>

#if defined(IMGL_HAVE_X86_CRC)
#include <cpuid.h>
#endif

namespace {

constexpr uint32_t POLY = 0xEDB88320u;
constexpr int SLICES = 16;

using CrcTables = std::array<std::array<uint32_t, 256>, SLICES>;

// tables[k][b]: the register after byte b followed by k zero bytes.
constexpr CrcTables make_tables()
{
    CrcTables t{};
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t r = b;
        for (int i = 0; i < 8; i++)
            r = (r & 1) ? (r >> 1) ^ POLY : r >> 1;
        t[0][b] = r;
    }
    for (int k = 1; k < SLICES; k++)
        for (uint32_t b = 0; b < 256; b++)
            t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
    return t;
}

constexpr CrcTables tables = make_tables();

// Byte order independent; compilers turn it into one load on either endianness.
inline uint32_t load_le32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// One 16-byte step of slice-by-16. The twelve lookups that do not depend on
// the register are summed first and as a tree, which keeps the chain through
// the register short; half of them index straight from memory, half from a
// word, to share the work between load ports and ALUs.
inline uint32_t step16(const uint8_t *p, uint32_t crc)
{
    const auto &t = tables;
    const uint32_t b = load_le32(p + 4);
    const uint32_t rest =
        ((t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF]) ^ (t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24])) ^
        ((t[7][p[8]] ^ t[6][p[9]]) ^ (t[5][p[10]] ^ t[4][p[11]])) ^
        ((t[3][p[12]] ^ t[2][p[13]]) ^ (t[1][p[14]] ^ t[0][p[15]]));
    const uint32_t a = load_le32(p) ^ crc;
    return rest ^ ((t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF]) ^ (t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24]));
}

} // namespace

uint32_t image_crc32_portable(const uint8_t *data, uint32_t length, uint32_t seed)
{
    uint32_t crc = seed;
    while (length >= 2 * SLICES) {
        crc = step16(data + SLICES, step16(data, crc));
        data += 2 * SLICES;
        length -= 2 * SLICES;
    }
    if (length >= SLICES) {
        crc = step16(data, crc);
        data += SLICES;
        length -= SLICES;
    }
    while (length--)
        crc = (crc >> 8) ^ tables[0][(crc ^ *data++) & 0xFF];
    return crc;
}

namespace {

// Product of two polynomials modulo P, both in the register's bit order
// (bit 31 is x^0).
uint32_t multiply_mod(uint32_t a, uint32_t b)
{
    uint32_t product = 0;
    for (uint32_t bit = 1u << 31; bit; bit >>= 1) {
        if (a & bit)
            product ^= b;
        b = (b & 1) ? (b >> 1) ^ POLY : b >> 1;
    }
    return product;
}

} // namespace

// A zero bit multiplies the register by x, so n zero bytes multiply it by x^(8n).
uint32_t image_crc32_zeros(uint32_t crc, uint64_t zeroBytes)
{
    uint32_t power = 1u << 31;  // x^0
    uint32_t square = 1u << 30; // x^1, then x^2, x^4, ...
    for (uint64_t e = zeroBytes * 8; e; e >>= 1) {
        if (e & 1)
            power = multiply_mod(power, square);
        square = multiply_mod(square, square);
    }
    return multiply_mod(crc, power);
}

namespace {

using Crc32Fn = uint32_t (*)(const uint8_t *, uint32_t, uint32_t);

bool cpu_has(Crc32Path path)
{
    if (path == Crc32Path::Portable)
        return true;
#if defined(IMGL_HAVE_X86_CRC)
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return false;
    const bool pclmul = (c & bit_PCLMUL) && (c & bit_SSE4_1);
    if (path == Crc32Path::Pclmul)
        return pclmul;
    // 256-bit registers also need the OS to save YMM state.
    if (!pclmul || !(c & bit_OSXSAVE) || !(c & bit_AVX))
        return false;
    uint32_t xcr0_lo, xcr0_hi;
    __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
    if ((xcr0_lo & 0x6) != 0x6)
        return false;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return false;
    return (b & bit_AVX2) && (c & (1u << 10)); // CPUID.7.0:ECX[10] is VPCLMULQDQ
#else
    return false;
#endif
}

Crc32Fn path_function(Crc32Path path)
{
    switch (path) {
#if defined(IMGL_HAVE_X86_CRC)
    case Crc32Path::Pclmul:
        return image_crc32_pclmul;
    case Crc32Path::Vpclmul256:
        return image_crc32_vpclmul256;
#endif
    default:
        return image_crc32_portable;
    }
}

Crc32Path best_path()
{
    for (Crc32Path p : {Crc32Path::Vpclmul256, Crc32Path::Pclmul})
        if (cpu_has(p))
            return p;
    return Crc32Path::Portable;
}

uint32_t resolve_and_run(const uint8_t *data, uint32_t length, uint32_t seed);

// Constant-initialised, so a call from any static initialiser still finds a path.
Crc32Fn activeFn = resolve_and_run;
Crc32Path activePath = Crc32Path::Portable;

uint32_t resolve_and_run(const uint8_t *data, uint32_t length, uint32_t seed)
{
    activePath = best_path();
    activeFn = path_function(activePath);
    return activeFn(data, length, seed);
}

} // namespace

uint32_t image_crc32(const uint8_t *data, uint32_t length, uint32_t seed)
{
    return activeFn(data, length, seed);
}

bool crc32_path_available(Crc32Path path) { return cpu_has(path); }

bool crc32_force_path(Crc32Path path)
{
    if (!cpu_has(path))
        return false;
    activePath = path;
    activeFn = path_function(path);
    return true;
}

Crc32Path crc32_active_path()
{
    if (activeFn == resolve_and_run) {
        activePath = best_path();
        activeFn = path_function(activePath);
    }
    return activePath;
}
