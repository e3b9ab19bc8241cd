#include <gtest/gtest.h>

#include "crypto/rsa_test_support.h"
#include "security/crypto/der.h"
#include "security/crypto/rsa.h"

namespace {

TEST(DerPublicKey, MalformedKeysAreRefused)
{
    struct Parts {
        Bytes oid = from_hex("2a864886f70d010101"), params = from_hex("0500");
        uint8_t unusedBits = 0;
        Bytes modulus = Bytes{0x00, 0xC5} + Bytes(254, 0x6B) + Bytes{0x11};
        Bytes exponent = from_hex("010001"), afterKey, afterInfo, afterAll;
    };
    auto build = [](const Parts &p) {
        const Bytes rsaKey = tlv(0x30, tlv(0x02, p.modulus) + tlv(0x02, p.exponent)) + p.afterKey;
        return tlv(0x30, tlv(0x30, tlv(0x06, p.oid) + p.params) + tlv(0x03, Bytes{p.unusedBits} + rsaKey) +
                             p.afterInfo) +
               p.afterAll;
    };
    auto with = [&](auto change) {
        Parts p;
        change(p);
        return build(p);
    };
    const Bytes good = build(Parts{});
    AsymKeyPtr key(asym_key_create());
    ASSERT_EQ(CA_MGMT_convertPublicKey(good.data(), static_cast<uint32_t>(good.size()), key.get()), 0);
    Bytes modulus(key->modulusLength);
    ASSERT_TRUE(bigint_to_bytes(&key->modulus, modulus));
    EXPECT_EQ(modulus, tail(Parts{}.modulus, 1));

    const Bytes cases[] = {
        with([](Parts &p) { p.oid.back() = 0x05; }),
        with([](Parts &p) { p.oid.pop_back(); }),
        with([](Parts &p) { p.params.clear(); }),
        with([](Parts &p) { p.params = from_hex("0400"); }),
        with([](Parts &p) { p.params = from_hex("05000500"); }),
        with([](Parts &p) { p.unusedBits = 1; }),
        with([](Parts &p) { p.modulus.erase(p.modulus.begin()); }),        // negative
        with([](Parts &p) { p.modulus.insert(p.modulus.begin(), 0x00); }), // non-minimal
        with([](Parts &p) { p.modulus.back() = 0x10; }),                   // even
        with([](Parts &p) { p.modulus = {0}; }),
        with([](Parts &p) { p.exponent = {1}; }),
        with([](Parts &p) { p.exponent = {4}; }),
        with([](Parts &p) { p.exponent = {0x83}; }),
        with([](Parts &p) { p.afterKey = from_hex("0500"); }),
        with([](Parts &p) { p.afterInfo = from_hex("0500"); }),
        with([](Parts &p) { p.afterAll = {0x00}; }),
        Bytes{0x30, 0x83, 0x00} + tail(good, 2),               // outer length with a leading zero byte
        Bytes{0x30, 0x80} + tail(good, 4) + Bytes{0x00, 0x00}, // indefinite outer length
        Bytes{0x3f, 0x81, 0x10} + tail(good, 1),               // multi-byte tag
        tlv(0x30, tlv(0x02, Parts{}.modulus) + tlv(0x02, from_hex("010001"))), // bare RSAPublicKey
        to_bytes("hello, this is not a key"),
        Bytes{},
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_LT(CA_MGMT_convertPublicKey(cases[i].data(), static_cast<uint32_t>(cases[i].size()), nullptr),
                  0)
            << "case " << i;
    for (size_t length = 0; length < good.size(); ++length)
        EXPECT_LT(CA_MGMT_convertPublicKey(good.data(), static_cast<uint32_t>(length), nullptr), 0) << length;
}

} // namespace
