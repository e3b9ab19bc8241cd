#include "security/crypto/rsa.h"

#include <cstring>
#include <new>

#include "security/crypto/der.h"
#include "security/crypto/pem.h"

namespace {

constexpr uint8_t OID_RSA_ENCRYPTION[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};

struct DigestAlgorithm {
    uint8_t oid[9];
    size_t oidLength;
    size_t digestLength;
};

constexpr DigestAlgorithm DIGEST_ALGORITHMS[] = {
    {{0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x02}, 8, 16},       // MD2
    {{0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x04}, 8, 16},       // MD4
    {{0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05}, 8, 16},       // MD5
    {{0x2b, 0x0e, 0x03, 0x02, 0x1a}, 5, 20},                         // SHA-1
    {{0x2b, 0x0e, 0x03, 0x02, 0x1d}, 5, 20},                         // SHA-1 (with RSA)
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01}, 9, 32}, // SHA-256
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02}, 9, 48}, // SHA-384
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03}, 9, 64}, // SHA-512
    {{0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04}, 9, 28}, // SHA-224
};

// PKCS #1 asks for at least eight bytes of FF padding.
constexpr size_t MIN_PADDING = 8;

const DigestAlgorithm *find_digest_algorithm(std::span<const uint8_t> oid)
{
    for (const DigestAlgorithm &algorithm : DIGEST_ALGORITHMS) {
        if (der_oid_equals(oid, std::span<const uint8_t>(algorithm.oid, algorithm.oidLength)))
            return &algorithm;
    }
    return nullptr;
}

// Well-formed DER of the wrong shape is "not one DigestInfo"; broken encodings
// keep their own status.
int32_t digest_info_status(int32_t status)
{
    if (status == ERR_DER_UNEXPECTED_TAG || status == ERR_DER_TRAILING_DATA || status == ERR_DER_BAD_NULL)
        return ERR_RSA_BAD_DIGEST_INFO;
    return status;
}

// DigestInfo ::= SEQUENCE { SEQUENCE { OID, NULL or nothing }, OCTET STRING },
// covering `in` exactly.
int32_t parse_digest_info(std::span<const uint8_t> in, std::span<const uint8_t> *digest)
{
    std::span<const uint8_t> body, algorithm, oid, octets;
    int32_t status = der_read_tagged(in, DER_TAG_SEQUENCE, &body);
    if (status == OK)
        status = der_expect_end(in);
    if (status == OK)
        status = der_read_tagged(body, DER_TAG_SEQUENCE, &algorithm);
    if (status == OK)
        status = der_read_tagged(algorithm, DER_TAG_OID, &oid);
    if (status == OK && !algorithm.empty())
        status = der_read_null(algorithm);
    if (status == OK)
        status = der_expect_end(algorithm);
    if (status == OK)
        status = der_read_tagged(body, DER_TAG_OCTET_STRING, &octets);
    if (status == OK)
        status = der_expect_end(body);
    if (status != OK)
        return digest_info_status(status);

    const DigestAlgorithm *known = find_digest_algorithm(oid);
    if (known == nullptr)
        return ERR_RSA_BAD_DIGEST_INFO;
    if (octets.size() != known->digestLength)
        return ERR_RSA_BAD_LENGTH;
    *digest = octets;
    return OK;
}

} // namespace

AsymKey *asym_key_create()
{
    AsymKey *key = new (std::nothrow) AsymKey{};
    if (key != nullptr)
        key->type = ASYM_KEY_RSA;
    return key;
}

int32_t asym_key_release(AsymKey **key)
{
    if (key != nullptr && *key != nullptr) {
        delete *key;
        *key = nullptr;
    }
    return OK;
}

int32_t rsa_parse_public_key(std::span<const uint8_t> der, AsymKey *key)
{
    std::span<const uint8_t> info, algorithm, oid, keyBits, rsaKey, modulus, exponent;
    int32_t status = der_read_tagged(der, DER_TAG_SEQUENCE, &info);
    if (status == OK)
        status = der_expect_end(der);
    if (status == OK)
        status = der_read_tagged(info, DER_TAG_SEQUENCE, &algorithm);
    if (status == OK)
        status = der_read_tagged(algorithm, DER_TAG_OID, &oid);
    if (status == OK && !der_oid_equals(oid, OID_RSA_ENCRYPTION))
        status = ERR_DER_UNKNOWN_ALGORITHM;
    if (status == OK)
        status = der_read_null(algorithm);
    if (status == OK)
        status = der_expect_end(algorithm);
    if (status == OK)
        status = der_read_bit_string_octets(info, &keyBits);
    if (status == OK)
        status = der_expect_end(info);
    if (status == OK)
        status = der_read_tagged(keyBits, DER_TAG_SEQUENCE, &rsaKey);
    if (status == OK)
        status = der_expect_end(keyBits);
    if (status == OK)
        status = der_read_unsigned_integer(rsaKey, &modulus);
    if (status == OK)
        status = der_read_unsigned_integer(rsaKey, &exponent);
    if (status == OK)
        status = der_expect_end(rsaKey);
    if (status != OK)
        return status;

    // Montgomery arithmetic needs an odd modulus; an even exponent or e = 1
    // is no RSA key either. Magnitudes are minimal, so the first byte is not 0.
    if ((modulus.back() & 1) == 0 || modulus.size() < 2 || (exponent.back() & 1) == 0 ||
        (exponent.size() == 1 && exponent[0] == 1) || exponent.size() > modulus.size())
        return ERR_DER_BAD_KEY;

    AsymKey &parsed = *key;
    parsed = AsymKey{};
    parsed.type = ASYM_KEY_RSA;
    parsed.modulusLength = static_cast<uint32_t>(modulus.size());
    if (modulus.size() <= RSA_MAX_MODULUS_BYTES &&
        (!bigint_from_bytes(&parsed.modulus, modulus) || !bigint_from_bytes(&parsed.exponent, exponent) ||
         !bigint_montgomery_init(&parsed.montgomery, &parsed.modulus)))
        return ERR_DER_BAD_KEY;
    return OK;
}

int32_t CA_MGMT_convertPublicKey(const uint8_t *keyText, uint32_t keyLength, AsymKey *key)
{
    if (keyText == nullptr)
        return ERR_NULL_POINTER;
    const std::span<const uint8_t> text(keyText, keyLength);

    std::unique_ptr<uint8_t[]> decoded(new (std::nothrow) uint8_t[keyLength == 0 ? 1 : keyLength]);
    if (!decoded)
        return ERR_MEM_ALLOC_FAIL;
    size_t decodedLength = 0;
    std::span<const uint8_t> der = text;
    if (pem_decode(text, std::span<uint8_t>(decoded.get(), keyLength), &decodedLength) == OK)
        der = std::span<const uint8_t>(decoded.get(), decodedLength);

    AsymKeyPtr parsed(asym_key_create());
    if (!parsed)
        return ERR_MEM_ALLOC_FAIL;
    const int32_t status = rsa_parse_public_key(der, parsed.get());
    if (status == OK && key != nullptr)
        *key = *parsed;
    return status;
}

int32_t rsa_check_pkcs1_block(std::span<const uint8_t> block, std::span<const uint8_t> digest)
{
    if (block.size() < 3 + MIN_PADDING || block[0] != 0x00 || block[1] != 0x01)
        return ERR_RSA_BAD_PADDING;
    size_t pos = 2;
    while (pos < block.size() && block[pos] == 0xFF)
        ++pos;
    if (pos - 2 < MIN_PADDING || pos == block.size() || block[pos] != 0x00)
        return ERR_RSA_BAD_PADDING;

    std::span<const uint8_t> signedDigest;
    const int32_t status = parse_digest_info(block.subspan(pos + 1), &signedDigest);
    if (status != OK)
        return status;
    if (signedDigest.size() != digest.size() ||
        std::memcmp(signedDigest.data(), digest.data(), digest.size()) != 0)
        return ERR_RSA_DIGEST_MISMATCH;
    return OK;
}

int32_t rsa_verify_digest(const AsymKey *key, std::span<const uint8_t> digest,
                          std::span<const uint8_t> signature)
{
    if (key == nullptr)
        return ERR_NULL_POINTER;
    if (signature.size() != key->modulusLength)
        return ERR_RSA_BAD_LENGTH;
    if (key->modulusLength > RSA_MAX_MODULUS_BYTES)
        return ERR_RSA_MODULUS_TOO_LONG;

    // A representative not below the modulus is refused outright; reducing it
    // would let s + n pass for s.
    BigInt s{};
    if (!bigint_from_bytes(&s, signature) || bigint_compare(&s, &key->modulus) >= 0)
        return ERR_RSA_BAD_PADDING;
    BigInt m{};
    if (!bigint_mod_exp(&m, &s, &key->exponent, &key->modulus, &key->montgomery))
        return ERR_RSA_BAD_PADDING;
    uint8_t block[RSA_MAX_MODULUS_BYTES];
    const std::span<uint8_t> encoded(block, key->modulusLength);
    if (!bigint_to_bytes(&m, encoded))
        return ERR_RSA_BAD_PADDING;
    return rsa_check_pkcs1_block(encoded, digest);
}

int32_t IMGSIGN_verifySignature(const uint8_t *digest, uint32_t digestLength, const uint8_t *signature,
                                uint32_t signatureLength, const uint8_t *keyText, uint32_t keyLength)
{
    if (digest == nullptr || signature == nullptr || keyText == nullptr)
        return ERR_NULL_POINTER;
    AsymKeyPtr key(asym_key_create());
    if (!key)
        return ERR_MEM_ALLOC_FAIL;
    const int32_t status = CA_MGMT_convertPublicKey(keyText, keyLength, key.get());
    if (status != OK)
        return status;
    return rsa_verify_digest(key.get(), std::span<const uint8_t>(digest, digestLength),
                             std::span<const uint8_t>(signature, signatureLength));
}
