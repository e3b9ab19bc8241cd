// Arbitrary bytes as a public-key text (PEM or DER).
#include <cstdlib>

#include "security/crypto/rsa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > UINT32_MAX)
        return 0;
    AsymKeyPtr key(asym_key_create());
    if (!key)
        return 0;
    const int32_t status = CA_MGMT_convertPublicKey(data, static_cast<uint32_t>(size), key.get());
    if (status > 0)
        abort();
    if (status == 0) {
        // An accepted key is a usable one: odd modulus of the recorded length.
        if (key->modulusLength == 0)
            abort();
        if (key->modulusLength <= RSA_MAX_MODULUS_BYTES &&
            ((bigint_bit_length(&key->modulus) + 7) / 8 != key->modulusLength ||
             !bigint_is_odd(&key->modulus) || !bigint_is_odd(&key->exponent)))
            abort();
    }
    return 0;
}
