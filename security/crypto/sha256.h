// SHA-256 with a portable block function and, where the CPU has them, one
// built on instruction-set extensions. The block function is picked once, at
// CRYPTO_initialize or on first use, whichever comes first.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SHA256_BLOCK_SIZE = 64;

struct Sha256Ctx {
    uint32_t state[8];
    uint64_t totalBytes;
    uint8_t buffer[SHA256_BLOCK_SIZE];
    size_t bufferedBytes;
};

void sha256_init(Sha256Ctx *ctx);
void sha256_update(Sha256Ctx *ctx, const uint8_t *data, size_t length);
// Writes the 32-byte digest and wipes the context.
void sha256_final(Sha256Ctx *ctx, uint8_t *digest);
void sha256(const uint8_t *data, size_t length, uint8_t *digest);

// Block functions, as bits so a set of them fits in one value.
enum Sha256Path : uint32_t {
    SHA256_PATH_PORTABLE = 1u << 0,
    SHA256_PATH_X86_SHA = 1u << 1,
};

// Paths this CPU can run (always includes the portable one).
uint32_t sha256_available_paths();
// Fastest available path; called by CRYPTO_initialize and on first use.
void sha256_select_best_path();
// Forces one path; false (and no change) when the CPU lacks it.
bool sha256_force_path(Sha256Path path);
Sha256Path sha256_active_path();

// Runs blockCount 64-byte blocks through the given path, bypassing dispatch.
void sha256_portable_blocks(uint32_t *state, const uint8_t *blocks, size_t blockCount);
#if defined(IMGL_HAVE_X86_ACCEL)
bool sha256_x86_supported();
void sha256_x86_blocks(uint32_t *state, const uint8_t *blocks, size_t blockCount);
#endif
