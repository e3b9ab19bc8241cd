// Cryptographic services of the loader. Every call answers a status: 0 for
// success, a negative code below for failure. Nothing here prints.
#pragma once

#include <cstddef>
#include <cstdint>

enum CryptoStatus : int32_t {
    OK = 0,
    ERR_NULL_POINTER = -6001,
    ERR_MEM_ALLOC_FAIL = -6101,
    ERR_RAND_OPEN = -7201,
    ERR_RAND_SHORT_READ = -7202,
    ERR_RSA_BAD_DIGEST_INFO = -7603,
    ERR_RSA_BAD_LENGTH = -7609,
    ERR_RSA_BAD_PADDING = -7702,
    ERR_RSA_MODULUS_TOO_LONG = -7707,
    ERR_RSA_DIGEST_MISMATCH = -7711,
    ERR_AES_BAD_LENGTH = -7902,
    ERR_AES_BAD_DIRECTION = -7903,
    ERR_AES_BAD_KEY_LENGTH = -7904,
    ERR_AES_BAD_MODE = -7907,
};

constexpr uint32_t SHA256_DIGEST_SIZE = 32;

int32_t CRYPTO_initialize();

int32_t IMGSIGN_computeSHA256(const uint8_t *data, size_t length, uint8_t *digest, uint32_t *digestLength);

// Public-key object; its layout belongs to the RSA module.
struct AsymKey;
int32_t CA_MGMT_convertPublicKey(const uint8_t *keyText, uint32_t keyLength, AsymKey *key);

int32_t IMGSIGN_verifySignature(const uint8_t *digest, uint32_t digestLength, const uint8_t *signature,
                                uint32_t signatureLength, const uint8_t *keyText, uint32_t keyLength);

struct AESCtx;
AESCtx *CreateAESCtx(const uint8_t *key, int32_t keyLength, int32_t encrypt);
int32_t DoAES(AESCtx *ctx, uint8_t *data, int32_t length, int32_t encrypt, uint8_t *iv);
int32_t DeleteAESCtx(AESCtx **ctx);
