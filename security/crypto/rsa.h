// RSA public keys and RSASSA-PKCS1-v1_5 signature verification.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "security/crypto/bigint.h"
#include "security/crypto/crypto.h"

constexpr uint32_t ASYM_KEY_RSA = 1;
constexpr uint32_t RSA_MAX_MODULUS_BYTES = 512;

struct AsymKey {
    uint32_t type;
    // Modulus length in bytes without the sign byte. A modulus longer than
    // RSA_MAX_MODULUS_BYTES is recorded only by its length: verification
    // refuses it, and nothing else reads it.
    uint32_t modulusLength;
    BigInt modulus;
    BigInt exponent;
    MontgomeryConstants montgomery;
    bool hasPrivateParts; // public keys only here; kept for the key object's contract
};

// Empty key object, or none when memory runs out.
AsymKey *asym_key_create();
// Releases the key the place holds, if any, and clears the place.
int32_t asym_key_release(AsymKey **key);

struct AsymKeyDeleter {
    void operator()(AsymKey *key) const { asym_key_release(&key); }
};
using AsymKeyPtr = std::unique_ptr<AsymKey, AsymKeyDeleter>;

// DER SubjectPublicKeyInfo with an rsaEncryption key. The algorithm's
// parameters must be NULL, as RFC 3279 requires; absent ones are refused.
// On failure `key` holds nothing usable.
int32_t rsa_parse_public_key(std::span<const uint8_t> der, AsymKey *key);

// Checks a decoded EMSA-PKCS1-v1_5 block (as long as the modulus) against
// `digest`.
int32_t rsa_check_pkcs1_block(std::span<const uint8_t> block, std::span<const uint8_t> digest);

// RSASSA-PKCS1-v1_5 verification of `signature` over `digest` with `key`.
int32_t rsa_verify_digest(const AsymKey *key, std::span<const uint8_t> digest,
                          std::span<const uint8_t> signature);
