// Fixed-capacity unsigned big integers for the RSA public operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// 64-bit limbs where the compiler has a 128-bit product, 32-bit limbs (with
// 64-bit products) elsewhere, e.g. on 32-bit PowerPC.
#if defined(__SIZEOF_INT128__)
using bn_limb = uint64_t;
using bn_dlimb = unsigned __int128;
#else
using bn_limb = uint32_t;
using bn_dlimb = uint64_t;
#endif

constexpr size_t BIGINT_MAX_BITS = 4096;
constexpr size_t BIGINT_LIMB_BITS = 8 * sizeof(bn_limb);
constexpr size_t BIGINT_MAX_LIMBS = BIGINT_MAX_BITS / BIGINT_LIMB_BITS;
constexpr size_t BIGINT_MAX_BYTES = BIGINT_MAX_BITS / 8;

// Little-endian limbs; limbs at and above `used` are zero, limb[used-1] != 0.
struct BigInt {
    bn_limb limb[BIGINT_MAX_LIMBS];
    size_t used;
};

// Big-endian bytes, leading zeros allowed; false when the value needs more
// than BIGINT_MAX_BITS.
bool bigint_from_bytes(BigInt *value, std::span<const uint8_t> bytes);

// Big-endian, left-padded with zeros to out.size(); false when it does not fit.
bool bigint_to_bytes(const BigInt *value, std::span<uint8_t> out);

int bigint_compare(const BigInt *a, const BigInt *b);
size_t bigint_bit_length(const BigInt *value);
bool bigint_is_odd(const BigInt *value);

// Per-modulus constants of Montgomery arithmetic, worth keeping with a key.
struct MontgomeryConstants {
    bn_limb n0inv;                // -modulus^-1 mod 2^BIGINT_LIMB_BITS
    bn_limb rr[BIGINT_MAX_LIMBS]; // R^2 mod modulus
};

// Needs an odd modulus > 1.
bool bigint_montgomery_init(MontgomeryConstants *constants, const BigInt *modulus);

// result = base^exponent mod modulus, left-to-right square-and-multiply in
// Montgomery form. Needs an odd modulus > 1, base < modulus, exponent > 0.
// `constants` are those of the modulus, or none to compute them here.
bool bigint_mod_exp(BigInt *result, const BigInt *base, const BigInt *exponent, const BigInt *modulus,
                    const MontgomeryConstants *constants = nullptr);
