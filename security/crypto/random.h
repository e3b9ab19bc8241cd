// The services' random-number generator: a SHA-256 based generator whose
// 256-bit key absorbs entropy bit by bit and is replaced after every request,
// so output already handed out cannot be recomputed from a later state.
#pragma once

#include <cstddef>
#include <cstdint>

struct RandomCtx {
    uint8_t key[32];
    uint8_t pool[32]; // entropy bits not yet folded into the key
    uint32_t poolBits;
    uint64_t blockCounter;
};

// Answers null when memory runs out.
RandomCtx *rng_create();
void rng_release(RandomCtx **ctx);
void rng_add_entropy_bit(RandomCtx *ctx, uint32_t bit);
void rng_generate(RandomCtx *ctx, uint8_t *out, size_t length);

// Opens `path`, reads eight 4-byte words and feeds each word's bits, least
// significant first. ERR_RAND_OPEN / ERR_RAND_SHORT_READ on failure.
int32_t rng_seed_from_device(RandomCtx *ctx, const char *path);
// Successful 4-byte seed reads in this process, for checking who reads.
uint64_t rng_seed_words_read();
