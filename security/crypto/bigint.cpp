#include "security/crypto/bigint.h"

namespace {

void bigint_set_zero(BigInt *value)
{
    for (bn_limb &limb : value->limb)
        limb = 0;
    value->used = 0;
}

void bigint_normalise(BigInt *value)
{
    while (value->used > 0 && value->limb[value->used - 1] == 0)
        --value->used;
}

// Montgomery arithmetic modulo n with R = 2^(BIGINT_LIMB_BITS * size).
struct Montgomery {
    const bn_limb *n;
    size_t size;
    bn_limb n0inv; // -n^-1 mod 2^BIGINT_LIMB_BITS
};

// Room for a double-length product plus a carry limb.
constexpr size_t PRODUCT_LIMBS = 2 * BIGINT_MAX_LIMBS + 1;

bn_limb negated_inverse(bn_limb n0)
{
    // Newton iteration doubles the correct low bits; n0 * n0 == 1 mod 8 starts at 3.
    bn_limb inv = n0;
    for (size_t bits = 3; bits < BIGINT_LIMB_BITS; bits *= 2)
        inv *= 2 - n0 * inv;
    return static_cast<bn_limb>(0) - inv;
}

// a >= n over `size` limbs plus an extra top limb.
bool at_least_modulus(const bn_limb *a, bn_limb top, const Montgomery &m)
{
    if (top != 0)
        return true;
    for (size_t i = m.size; i-- > 0;) {
        if (a[i] != m.n[i])
            return a[i] > m.n[i];
    }
    return true;
}

void subtract_modulus(bn_limb *a, const Montgomery &m)
{
    bn_limb borrow = 0;
    for (size_t i = 0; i < m.size; ++i) {
        const bn_dlimb diff = static_cast<bn_dlimb>(a[i]) - m.n[i] - borrow;
        a[i] = static_cast<bn_limb>(diff);
        borrow = static_cast<bn_limb>(diff >> BIGINT_LIMB_BITS) & 1;
    }
}

// t[0..count) += a[0..count) * b; returns the carry limb.
inline bn_limb mul_add_row(bn_limb *__restrict t, const bn_limb *__restrict a, bn_limb b, size_t count)
{
    bn_limb carry = 0;
    for (size_t j = 0; j < count; ++j) {
        const bn_dlimb acc = static_cast<bn_dlimb>(a[j]) * b + t[j] + carry;
        t[j] = static_cast<bn_limb>(acc);
        carry = static_cast<bn_limb>(acc >> BIGINT_LIMB_BITS);
    }
    return carry;
}

// t[0..2s) = a * b.
void mul_full(bn_limb *__restrict t, const bn_limb *a, const bn_limb *b, size_t s)
{
    for (size_t i = 0; i < 2 * s; ++i)
        t[i] = 0;
    for (size_t i = 0; i < s; ++i)
        t[i + s] = mul_add_row(t + i, a, b[i], s);
}

// t[0..2s) = a^2: the products a[i]a[j], i < j, once, doubled, plus the squares.
void sqr_full(bn_limb *__restrict t, const bn_limb *a, size_t s)
{
    for (size_t i = 0; i < 2 * s; ++i)
        t[i] = 0;
    for (size_t i = 0; i + 1 < s; ++i)
        t[i + s] = mul_add_row(t + 2 * i + 1, a + i + 1, a[i], s - i - 1);
    bn_limb shifted = 0;
    for (size_t i = 0; i < 2 * s; ++i) {
        const bn_limb next = t[i] >> (BIGINT_LIMB_BITS - 1);
        t[i] = static_cast<bn_limb>(t[i] << 1) | shifted;
        shifted = next;
    }
    bn_limb carry = 0;
    for (size_t i = 0; i < s; ++i) {
        const bn_dlimb square = static_cast<bn_dlimb>(a[i]) * a[i];
        bn_dlimb acc = static_cast<bn_dlimb>(t[2 * i]) + static_cast<bn_limb>(square) + carry;
        t[2 * i] = static_cast<bn_limb>(acc);
        acc = static_cast<bn_dlimb>(t[2 * i + 1]) + static_cast<bn_limb>(square >> BIGINT_LIMB_BITS) +
              static_cast<bn_limb>(acc >> BIGINT_LIMB_BITS);
        t[2 * i + 1] = static_cast<bn_limb>(acc);
        carry = static_cast<bn_limb>(acc >> BIGINT_LIMB_BITS);
    }
}

// out = t / R mod n for t < n * R (Montgomery reduction); t is destroyed.
void mont_reduce(bn_limb *out, bn_limb *__restrict t, const Montgomery &m)
{
    const size_t s = m.size;
    bn_limb overflow = 0;
    for (size_t i = 0; i < s; ++i) {
        const bn_limb q = t[i] * m.n0inv;
        const bn_limb carry = mul_add_row(t + i, m.n, q, s);
        const bn_dlimb acc = static_cast<bn_dlimb>(t[i + s]) + carry + overflow;
        t[i + s] = static_cast<bn_limb>(acc);
        overflow = static_cast<bn_limb>(acc >> BIGINT_LIMB_BITS);
    }
    bn_limb *result = t + s;
    if (at_least_modulus(result, overflow, m))
        subtract_modulus(result, m);
    for (size_t i = 0; i < s; ++i)
        out[i] = result[i];
}

// out = a * b / R mod n; a, b < n; out may alias a or b.
void mont_mul(bn_limb *out, const bn_limb *a, const bn_limb *b, const Montgomery &m)
{
    bn_limb t[PRODUCT_LIMBS];
    mul_full(t, a, b, m.size);
    mont_reduce(out, t, m);
}

void mont_sqr(bn_limb *out, const bn_limb *a, const Montgomery &m)
{
    bn_limb t[PRODUCT_LIMBS];
    sqr_full(t, a, m.size);
    mont_reduce(out, t, m);
}

// a = 2a mod n, for a < n.
void double_mod(bn_limb *a, const Montgomery &m)
{
    bn_limb carry = 0;
    for (size_t i = 0; i < m.size; ++i) {
        const bn_limb next = a[i] >> (BIGINT_LIMB_BITS - 1);
        a[i] = static_cast<bn_limb>(a[i] << 1) | carry;
        carry = next;
    }
    if (at_least_modulus(a, carry, m))
        subtract_modulus(a, m);
}

// rr = R^2 mod n. 2^(bits(n)-1) < n, so doublings from there give R mod n,
// the Montgomery form of 1, and `size` more give that of 2^size. Squaring the
// Montgomery form of 2^k gives that of 2^2k, and as the limb width is a power
// of two a few squarings reach 2^(limb bits * size) = R, whose Montgomery form
// is R^2 mod n.
void montgomery_rr(bn_limb *rr, const Montgomery &m, size_t modulusBits)
{
    for (size_t i = 0; i < m.size; ++i)
        rr[i] = 0;
    const size_t top = modulusBits - 1;
    rr[top / BIGINT_LIMB_BITS] = static_cast<bn_limb>(1) << (top % BIGINT_LIMB_BITS);
    const size_t doublings = BIGINT_LIMB_BITS * m.size - top + m.size;
    for (size_t i = 0; i < doublings; ++i)
        double_mod(rr, m);
    for (size_t k = m.size; k < BIGINT_LIMB_BITS * m.size; k *= 2)
        mont_sqr(rr, rr, m);
}

} // namespace

bool bigint_from_bytes(BigInt *value, std::span<const uint8_t> bytes)
{
    bigint_set_zero(value);
    size_t first = 0;
    while (first < bytes.size() && bytes[first] == 0)
        ++first;
    bytes = bytes.subspan(first);
    if (bytes.size() > BIGINT_MAX_BYTES)
        return false;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t bitPos = 8 * (bytes.size() - 1 - i);
        value->limb[bitPos / BIGINT_LIMB_BITS] |= static_cast<bn_limb>(bytes[i])
                                                  << (bitPos % BIGINT_LIMB_BITS);
    }
    value->used = (bytes.size() + sizeof(bn_limb) - 1) / sizeof(bn_limb);
    bigint_normalise(value);
    return true;
}

bool bigint_to_bytes(const BigInt *value, std::span<uint8_t> out)
{
    if ((bigint_bit_length(value) + 7) / 8 > out.size())
        return false;
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t bitPos = 8 * (out.size() - 1 - i);
        const size_t limbIndex = bitPos / BIGINT_LIMB_BITS;
        out[i] = limbIndex < value->used
                     ? static_cast<uint8_t>(value->limb[limbIndex] >> (bitPos % BIGINT_LIMB_BITS))
                     : 0;
    }
    return true;
}

int bigint_compare(const BigInt *a, const BigInt *b)
{
    if (a->used != b->used)
        return a->used < b->used ? -1 : 1;
    for (size_t i = a->used; i-- > 0;) {
        if (a->limb[i] != b->limb[i])
            return a->limb[i] < b->limb[i] ? -1 : 1;
    }
    return 0;
}

size_t bigint_bit_length(const BigInt *value)
{
    if (value->used == 0)
        return 0;
    size_t bits = (value->used - 1) * BIGINT_LIMB_BITS;
    for (bn_limb top = value->limb[value->used - 1]; top != 0; top >>= 1)
        ++bits;
    return bits;
}

bool bigint_is_odd(const BigInt *value) { return value->used > 0 && (value->limb[0] & 1) != 0; }

bool bigint_montgomery_init(MontgomeryConstants *constants, const BigInt *modulus)
{
    if (!bigint_is_odd(modulus) || bigint_bit_length(modulus) < 2)
        return false;
    const Montgomery m{modulus->limb, modulus->used, negated_inverse(modulus->limb[0])};
    constants->n0inv = m.n0inv;
    for (bn_limb &limb : constants->rr)
        limb = 0;
    montgomery_rr(constants->rr, m, bigint_bit_length(modulus));
    return true;
}

bool bigint_mod_exp(BigInt *result, const BigInt *base, const BigInt *exponent, const BigInt *modulus,
                    const MontgomeryConstants *constants)
{
    MontgomeryConstants own;
    if (constants == nullptr) {
        if (!bigint_montgomery_init(&own, modulus))
            return false;
        constants = &own;
    }
    if (!bigint_is_odd(modulus) || bigint_bit_length(modulus) < 2 || exponent->used == 0 ||
        bigint_compare(base, modulus) >= 0)
        return false;

    const Montgomery m{modulus->limb, modulus->used, constants->n0inv};
    bn_limb baseMont[BIGINT_MAX_LIMBS] = {};
    for (size_t i = 0; i < base->used; ++i)
        baseMont[i] = base->limb[i];
    mont_mul(baseMont, baseMont, constants->rr, m);

    bn_limb acc[BIGINT_MAX_LIMBS];
    for (size_t i = 0; i < m.size; ++i)
        acc[i] = baseMont[i];
    for (size_t bit = bigint_bit_length(exponent) - 1; bit-- > 0;) {
        mont_sqr(acc, acc, m);
        if ((exponent->limb[bit / BIGINT_LIMB_BITS] >> (bit % BIGINT_LIMB_BITS)) & 1)
            mont_mul(acc, acc, baseMont, m);
    }

    // Leaving Montgomery form is a reduction of acc itself.
    bn_limb t[PRODUCT_LIMBS] = {};
    for (size_t i = 0; i < m.size; ++i)
        t[i] = acc[i];
    mont_reduce(acc, t, m);

    bigint_set_zero(result);
    for (size_t i = 0; i < m.size; ++i)
        result->limb[i] = acc[i];
    result->used = m.size;
    bigint_normalise(result);
    return true;
}
