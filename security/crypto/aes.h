// AES block cipher (128/192/256-bit keys) and the CBC context behind
// CreateAESCtx / DoAES / DeleteAESCtx. Byte-oriented, so it needs no care
// about the host's byte order; the loader only ever ciphers key files.
#pragma once

#include <cstdint>

constexpr int32_t AES_BLOCK_SIZE = 16;
constexpr int32_t AES_MAX_ROUNDS = 14;
constexpr int32_t AES_SCHEDULE_BYTES = AES_BLOCK_SIZE * (AES_MAX_ROUNDS + 1);

enum AesMode : int32_t { AES_MODE_ECB = 1, AES_MODE_CBC = 2, AES_MODE_CFB = 3 };

struct AESCtx {
    int32_t encrypt; // 1 encrypt, 0 decrypt
    int32_t mode;
    int32_t keyLength; // bits
    int32_t rounds;
    // Round keys for the context's direction: for decryption, the equivalent
    // inverse cipher's schedule (reversed, InvMixColumns on the inner keys).
    uint8_t roundKeys[AES_SCHEDULE_BYTES];
    uint8_t encryptKeys[AES_SCHEDULE_BYTES];
};

// Expands a 16/24/32-byte key; answers the round count, or 0 for another length.
int32_t aes_expand_key(const uint8_t *key, int32_t keyBytes, uint8_t *encryptKeys);
void aes_make_decrypt_keys(const uint8_t *encryptKeys, int32_t rounds, uint8_t *decryptKeys);
void aes_encrypt_block(const uint8_t *encryptKeys, int32_t rounds, const uint8_t *in, uint8_t *out);
void aes_decrypt_block(const uint8_t *decryptKeys, int32_t rounds, const uint8_t *in, uint8_t *out);
