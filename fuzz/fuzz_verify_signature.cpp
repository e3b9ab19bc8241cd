// Arbitrary digest, signature and key. Input layout: one byte of digest
// length (taken mod 65), the digest, two bytes of signature length (big-endian),
// the signature, and the rest as key text. The signature bytes are also fed to
// the block parser directly, since a random signature hardly ever decrypts to
// anything that reaches it.
#include <cstdlib>
#include <span>

#include "security/crypto/rsa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::span<const uint8_t> in(data, size);
    auto take = [&in](size_t count) {
        const std::span<const uint8_t> part = in.first(count < in.size() ? count : in.size());
        in = in.subspan(part.size());
        return part;
    };
    if (in.size() < 3 || in.size() > UINT32_MAX)
        return 0;
    const std::span<const uint8_t> digest = take(take(1)[0] % 65);
    const std::span<const uint8_t> lengthBytes = take(2);
    const size_t signatureLength = lengthBytes.size() == 2 ? (lengthBytes[0] << 8 | lengthBytes[1]) : 0;
    const std::span<const uint8_t> signature = take(signatureLength);
    const std::span<const uint8_t> key = in;

    static const uint8_t nothing = 0; // empty parts still need a pointer
    auto pointer = [](std::span<const uint8_t> part) { return part.empty() ? &nothing : part.data(); };
    const int32_t status = IMGSIGN_verifySignature(
        pointer(digest), static_cast<uint32_t>(digest.size()), pointer(signature),
        static_cast<uint32_t>(signature.size()), pointer(key), static_cast<uint32_t>(key.size()));
    if (status > 0)
        abort();
    if (rsa_check_pkcs1_block(signature, digest) > 0)
        abort();
    return 0;
}
