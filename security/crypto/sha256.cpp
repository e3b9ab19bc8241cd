#include "security/crypto/sha256.h"

#include <bit>
#include <cstring>

namespace {

constexpr auto &K = SHA256_K;

constexpr uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline uint32_t load_be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

inline void store_be64(uint8_t *p, uint64_t v)
{
    store_be32(p, uint32_t(v >> 32));
    store_be32(p + 4, uint32_t(v));
}

using BlockFn = void (*)(uint32_t *, const uint8_t *, size_t);

void resolve_then_run(uint32_t *state, const uint8_t *blocks, size_t blockCount);

// Starts at a resolver so hashing works before CRYPTO_initialize.
BlockFn activeBlocks = resolve_then_run;
Sha256Path activePath = SHA256_PATH_PORTABLE;

void resolve_then_run(uint32_t *state, const uint8_t *blocks, size_t blockCount)
{
    sha256_select_best_path();
    activeBlocks(state, blocks, blockCount);
}

} // namespace

// Nested rotations: the same sums, but each needs one register copy instead
// of three on machines whose rotate overwrites its operand.
#define S0(x) std::rotr(std::rotr(std::rotr(x, 9) ^ (x), 11) ^ (x), 2)
#define S1(x) std::rotr(std::rotr(std::rotr(x, 14) ^ (x), 5) ^ (x), 6)
#define s0(x) (std::rotr(std::rotr(x, 11) ^ (x), 7) ^ ((x) >> 3))
#define s1(x) (std::rotr(std::rotr(x, 2) ^ (x), 17) ^ ((x) >> 10))
#define CH(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))

// The schedule lives in a 16-word ring; with every index a constant after
// unrolling, the compiler keeps it in registers and stack slots.
#define WLOAD(i) (w[i] = load_be32(p + 4 * (i)))
#define WNEXT(i) (w[(i)&15] += s1(w[((i)-2) & 15]) + w[((i)-7) & 15] + s0(w[((i)-15) & 15]))

// Maj(a,b,c) = b ^ ((a ^ b) & (b ^ c)); this round's a ^ b is the next
// round's b ^ c, so each round computes one XOR instead of two.
#define RND(a, b, c, d, e, f, g, h, i, W)                                                                    \
    do {                                                                                                     \
        uint32_t t1 = h + S1(e) + CH(e, f, g) + K[i] + (W);                                                  \
        uint32_t ab = a ^ b;                                                                                 \
        d += t1;                                                                                             \
        h = t1 + S0(a) + (b ^ (ab & bc));                                                                    \
        bc = ab;                                                                                             \
    } while (0)

#define R8(i, WF)                                                                                            \
    RND(a, b, c, d, e, f, g, h, (i) + 0, WF((i) + 0));                                                       \
    RND(h, a, b, c, d, e, f, g, (i) + 1, WF((i) + 1));                                                       \
    RND(g, h, a, b, c, d, e, f, (i) + 2, WF((i) + 2));                                                       \
    RND(f, g, h, a, b, c, d, e, (i) + 3, WF((i) + 3));                                                       \
    RND(e, f, g, h, a, b, c, d, (i) + 4, WF((i) + 4));                                                       \
    RND(d, e, f, g, h, a, b, c, (i) + 5, WF((i) + 5));                                                       \
    RND(c, d, e, f, g, h, a, b, (i) + 6, WF((i) + 6));                                                       \
    RND(b, c, d, e, f, g, h, a, (i) + 7, WF((i) + 7))

void sha256_portable_blocks(uint32_t *state, const uint8_t *blocks, size_t blockCount)
{
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (const uint8_t *p = blocks; blockCount > 0; --blockCount, p += SHA256_BLOCK_SIZE) {
        uint32_t w[16];
        uint32_t bc = b ^ c;
        R8(0, WLOAD);
        R8(8, WLOAD);
        R8(16, WNEXT);
        R8(24, WNEXT);
        R8(32, WNEXT);
        R8(40, WNEXT);
        R8(48, WNEXT);
        R8(56, WNEXT);
        a = state[0] += a;
        b = state[1] += b;
        c = state[2] += c;
        d = state[3] += d;
        e = state[4] += e;
        f = state[5] += f;
        g = state[6] += g;
        h = state[7] += h;
    }
}

#undef R8
#undef RND
#undef WNEXT
#undef WLOAD
#undef CH
#undef s1
#undef s0
#undef S1
#undef S0

uint32_t sha256_available_paths()
{
    uint32_t paths = SHA256_PATH_PORTABLE;
#if defined(IMGL_HAVE_X86_ACCEL)
    if (sha256_x86_supported())
        paths |= SHA256_PATH_X86_SHA;
#endif
    return paths;
}

bool sha256_force_path(Sha256Path path)
{
    if ((sha256_available_paths() & path) == 0)
        return false;
    switch (path) {
    case SHA256_PATH_PORTABLE:
        activeBlocks = sha256_portable_blocks;
        break;
#if defined(IMGL_HAVE_X86_ACCEL)
    case SHA256_PATH_X86_SHA:
        activeBlocks = sha256_x86_blocks;
        break;
#endif
    default:
        return false;
    }
    activePath = path;
    return true;
}

void sha256_select_best_path()
{
    if (!sha256_force_path(SHA256_PATH_X86_SHA))
        sha256_force_path(SHA256_PATH_PORTABLE);
}

Sha256Path sha256_active_path()
{
    if (activeBlocks == resolve_then_run)
        sha256_select_best_path();
    return activePath;
}

void sha256_init(Sha256Ctx *ctx)
{
    std::memcpy(ctx->state, H0, sizeof H0);
    ctx->totalBytes = 0;
    ctx->bufferedBytes = 0;
}

void sha256_update(Sha256Ctx *ctx, const uint8_t *data, size_t length)
{
    if (length == 0)
        return;
    ctx->totalBytes += length;
    if (ctx->bufferedBytes > 0) {
        size_t take = SHA256_BLOCK_SIZE - ctx->bufferedBytes;
        if (take > length)
            take = length;
        std::memcpy(ctx->buffer + ctx->bufferedBytes, data, take);
        ctx->bufferedBytes += take;
        data += take;
        length -= take;
        if (ctx->bufferedBytes < SHA256_BLOCK_SIZE)
            return;
        activeBlocks(ctx->state, ctx->buffer, 1);
        ctx->bufferedBytes = 0;
    }
    // Whole blocks straight from the caller's memory, no copy.
    size_t whole = length / SHA256_BLOCK_SIZE;
    if (whole > 0) {
        activeBlocks(ctx->state, data, whole);
        data += whole * SHA256_BLOCK_SIZE;
        length -= whole * SHA256_BLOCK_SIZE;
    }
    if (length > 0) {
        std::memcpy(ctx->buffer, data, length);
        ctx->bufferedBytes = length;
    }
}

void sha256_final(Sha256Ctx *ctx, uint8_t *digest)
{
    uint64_t bitLength = ctx->totalBytes * 8;
    size_t used = ctx->bufferedBytes;
    ctx->buffer[used++] = 0x80;
    if (used > SHA256_BLOCK_SIZE - 8) {
        std::memset(ctx->buffer + used, 0, SHA256_BLOCK_SIZE - used);
        activeBlocks(ctx->state, ctx->buffer, 1);
        used = 0;
    }
    std::memset(ctx->buffer + used, 0, SHA256_BLOCK_SIZE - 8 - used);
    store_be64(ctx->buffer + SHA256_BLOCK_SIZE - 8, bitLength);
    activeBlocks(ctx->state, ctx->buffer, 1);
    for (int i = 0; i < 8; ++i)
        store_be32(digest + 4 * i, ctx->state[i]);
    explicit_bzero(ctx, sizeof *ctx);
}

void sha256(const uint8_t *data, size_t length, uint8_t *digest)
{
    Sha256Ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, data, length);
    sha256_final(&ctx, digest);
}
