#include <gtest/gtest.h>

#include "crypto/rsa_test_support.h"
#include "security/crypto/bigint.h"

namespace {

TEST(RsaBigint, FermatOnMersennePrimesOfManySizes)
{
    // a^p = a (mod p) for a prime p = 2^k - 1: moduli that fill their top limb
    // partly or fully, from one limb to near the capacity, with long exponents.
    for (size_t k : {61u, 89u, 127u, 521u, 607u, 1279u, 2203u, 3217u}) {
        SCOPED_TRACE("2^" + std::to_string(k) + "-1");
        Bytes pBytes((k + 7) / 8, 0xFF);
        if (k % 8 != 0)
            pBytes[0] = static_cast<uint8_t>((1u << (k % 8)) - 1);
        BigInt p{}, a{}, result{};
        ASSERT_TRUE(bigint_from_bytes(&p, pBytes));
        for (const Bytes &aBytes : {Bytes{2}, from_hex("0314159265"), Bytes(pBytes.size() - 1, 0xA7)}) {
            ASSERT_TRUE(bigint_from_bytes(&a, aBytes));
            ASSERT_TRUE(bigint_mod_exp(&result, &a, &p, &p));
            Bytes out(pBytes.size());
            ASSERT_TRUE(bigint_to_bytes(&result, out));
            EXPECT_EQ(out, Bytes(pBytes.size() - aBytes.size()) + aBytes);
        }
    }
}

} // namespace
