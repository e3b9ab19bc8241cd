#include "security/crypto/random.h"

#include "security/crypto/crypto.h"
#include "security/crypto/sha256.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

uint64_t seedWordsRead = 0;

enum : uint8_t { TAG_ABSORB = 1, TAG_OUTPUT = 2, TAG_REKEY = 3 };

void store_be64(uint8_t *p, uint64_t v)
{
    for (int i = 7; i >= 0; --i, v >>= 8)
        p[i] = uint8_t(v);
}

// Domain-separated hash of the key with a tag and up to 36 more bytes.
void keyed_hash(const RandomCtx *ctx, uint8_t tag, const uint8_t *extra, size_t extraLength, uint8_t *out)
{
    Sha256Ctx h;
    sha256_init(&h);
    sha256_update(&h, &tag, 1);
    sha256_update(&h, ctx->key, sizeof ctx->key);
    sha256_update(&h, extra, extraLength);
    sha256_final(&h, out);
}

void absorb_pool(RandomCtx *ctx)
{
    uint8_t extra[36];
    std::memcpy(extra, ctx->pool, 32);
    extra[32] = uint8_t(ctx->poolBits >> 24);
    extra[33] = uint8_t(ctx->poolBits >> 16);
    extra[34] = uint8_t(ctx->poolBits >> 8);
    extra[35] = uint8_t(ctx->poolBits);
    keyed_hash(ctx, TAG_ABSORB, extra, sizeof extra, ctx->key);
    explicit_bzero(extra, sizeof extra);
    explicit_bzero(ctx->pool, sizeof ctx->pool);
    ctx->poolBits = 0;
}

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

} // namespace

RandomCtx *rng_create() { return static_cast<RandomCtx *>(std::calloc(1, sizeof(RandomCtx))); }

void rng_release(RandomCtx **ctx)
{
    if (ctx == nullptr || *ctx == nullptr)
        return;
    explicit_bzero(*ctx, sizeof **ctx);
    std::free(*ctx);
    *ctx = nullptr;
}

void rng_add_entropy_bit(RandomCtx *ctx, uint32_t bit)
{
    ctx->pool[ctx->poolBits / 8] |= uint8_t((bit & 1u) << (ctx->poolBits % 8));
    if (++ctx->poolBits == sizeof ctx->pool * 8)
        absorb_pool(ctx);
}

void rng_generate(RandomCtx *ctx, uint8_t *out, size_t length)
{
    if (ctx->poolBits > 0)
        absorb_pool(ctx);
    uint8_t counter[8];
    uint8_t block[32];
    while (length > 0) {
        store_be64(counter, ctx->blockCounter++);
        keyed_hash(ctx, TAG_OUTPUT, counter, sizeof counter, block);
        size_t take = length < sizeof block ? length : sizeof block;
        std::memcpy(out, block, take);
        out += take;
        length -= take;
    }
    store_be64(counter, ctx->blockCounter++);
    keyed_hash(ctx, TAG_REKEY, counter, sizeof counter, ctx->key);
    explicit_bzero(block, sizeof block);
}

int32_t rng_seed_from_device(RandomCtx *ctx, const char *path)
{
    Fd dev{open(path, O_RDONLY | O_CLOEXEC)};
    if (dev.fd < 0)
        return ERR_RAND_OPEN;
    for (int i = 0; i < 8; ++i) {
        uint32_t word = 0;
        if (read(dev.fd, &word, sizeof word) != ssize_t(sizeof word))
            return ERR_RAND_SHORT_READ;
        ++seedWordsRead;
        for (int b = 0; b < 32; ++b)
            rng_add_entropy_bit(ctx, (word >> b) & 1u);
        explicit_bzero(&word, sizeof word);
    }
    return OK;
}

uint64_t rng_seed_words_read() { return seedWordsRead; }
