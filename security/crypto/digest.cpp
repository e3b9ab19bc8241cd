#include "security/crypto/crypto.h"
#include "security/crypto/sha256.h"

#include <cstring>

int32_t IMGSIGN_computeSHA256(const uint8_t *data, size_t length, uint8_t *digest, uint32_t *digestLength)
{
    if (digestLength == nullptr)
        return ERR_NULL_POINTER;
    *digestLength = 0;
    if (data == nullptr || digest == nullptr)
        return ERR_NULL_POINTER;

    // Room for the largest digest of the toolkit; hashes the caller's region in place.
    uint8_t scratch[64];
    std::memset(scratch, 0, sizeof scratch);
    sha256(data, length, scratch);
    std::memcpy(digest, scratch, SHA256_DIGEST_SIZE);
    explicit_bzero(scratch, sizeof scratch);
    *digestLength = SHA256_DIGEST_SIZE;
    return OK;
}
