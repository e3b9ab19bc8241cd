#include <gtest/gtest.h>

#include "crypto/support.h"
#include "security/crypto/bigint.h"
#include "security/crypto/der.h"
#include "security/crypto/rsa.h"

namespace {

const Bytes SHA256_OID = from_hex("608648016503040201");
const Bytes NULL_PARAMS = from_hex("0500");

Bytes digest_info(const Bytes &oid, const Bytes &params, const Bytes &digest)
{
    return tlv(0x30, tlv(0x30, tlv(0x06, oid) + params) + tlv(0x04, digest));
}

// 00 01 FF.. 00 || payload, `size` bytes long.
Bytes padded(size_t size, const Bytes &payload)
{
    Bytes block{0x00, 0x01};
    block.resize(size - payload.size() - 1, 0xFF);
    return block + Bytes{0x00} + payload;
}

TEST(RsaWycheproof, EveryCaseOfTheSha256File)
{
    const WycheproofFile file = read_wycheproof();
    ASSERT_EQ(file.cases.size(), 259u);
    ASSERT_EQ(file.keyPem.size(), 3u);
    int valid = 0, invalid = 0;
    for (const WycheproofCase &tc : file.cases) {
        SCOPED_TRACE("tcId " + std::to_string(tc.tcId));
        const Bytes digest = sha256(tc.msg);
        ASSERT_EQ(digest.size(), 32u);
        const int32_t status = verify(digest, tc.sig, to_bytes(file.keyPem[tc.group]));
        EXPECT_EQ(status, verify(digest, tc.sig, file.keyDer[tc.group])); // PEM and DER agree
        if (tc.result == "valid") {
            EXPECT_EQ(status, 0);
            ++valid;
        } else if (tc.result == "invalid") {
            EXPECT_LT(status, 0);
            ++invalid;
        } else {
            // tcId 8 only: DigestInfo without its NULL parameter. DER allows it
            // absent and it leaves no room for forged bytes, so it is accepted.
            EXPECT_EQ(tc.tcId, 8);
            EXPECT_EQ(status, 0);
        }
    }
    EXPECT_EQ(valid, 9);
    EXPECT_EQ(invalid, 249);
}

TEST(RsaOpensslRaw, HandBuiltBlocksAndLengths)
{
    const Bytes key2048 = openssl_public(2048, "PEM"), key4096 = openssl_public(4096, "PEM");
    ASSERT_FALSE(key2048.empty());
    ASSERT_FALSE(key4096.empty());
    const Bytes digest = sha256(to_bytes("m"));
    auto raw = [](const Bytes &block) { return openssl_sign(2048, block, true); };

    EXPECT_EQ(verify(digest, raw(padded(256, digest_info(SHA256_OID, NULL_PARAMS, digest))), key2048), 0);
    EXPECT_LT(verify(digest, raw(padded(256, digest)), key2048), 0); // no DigestInfo around the digest
    EXPECT_EQ(verify(digest,
                     raw(padded(256, digest_info(from_hex("2b0e03021a"), NULL_PARAMS, Bytes(20, 0xAB)))),
                     key2048),
              ERR_RSA_DIGEST_MISMATCH);
    Bytes type2 = padded(256, digest_info(SHA256_OID, NULL_PARAMS, digest));
    type2[1] = 0x02;
    EXPECT_EQ(verify(digest, raw(type2), key2048), ERR_RSA_BAD_PADDING);

    const Bytes sig4096 = openssl_sign(4096, to_bytes("m")), sig2048 = openssl_sign(2048, to_bytes("m"));
    EXPECT_EQ(verify(digest, sig4096, key4096), 0);
    EXPECT_EQ(verify(digest, sig2048, key4096), ERR_RSA_BAD_LENGTH);

    Bytes modulus(520, 0x5A);
    modulus[0] = 0xC1;
    modulus[519] = 0x01;
    const Bytes rsaKey = tlv(0x30, tlv(0x02, Bytes{0x00} + modulus) + tlv(0x02, from_hex("010001")));
    const Bytes bigKey = tlv(0x30, tlv(0x30, tlv(0x06, from_hex("2a864886f70d010101")) + NULL_PARAMS) +
                                       tlv(0x03, Bytes{0x00} + rsaKey));
    EXPECT_LT(verify(digest, Bytes(256, 0xFF), key2048), 0); // not below the modulus
    EXPECT_EQ(verify(digest, Bytes(520, 0x01), bigKey), ERR_RSA_MODULUS_TOO_LONG);
    EXPECT_EQ(verify(digest, sig2048, bigKey), ERR_RSA_BAD_LENGTH);
}

TEST(RsaPkcs1Block, StrictParsingRefusesForgeries)
{
    const Bytes digest(32, 0x5C);
    const Bytes good = digest_info(SHA256_OID, NULL_PARAMS, digest);
    const Bytes algorithm = tlv(0x30, tlv(0x06, SHA256_OID) + NULL_PARAMS);
    Bytes shortFF = padded(256, good), notFF = padded(256, good);
    shortFF.erase(shortFF.begin() + 2,
                  shortFF.begin() + 2 + 256 - 11 - good.size() + 1); // seven FF bytes left
    notFF[40] = 0xFE;
    struct Case {
        const char *name;
        Bytes block;
        int32_t expected;
    } cases[] = {
        {"proper", padded(256, good), 0},
        {"NULL parameter absent", padded(256, digest_info(SHA256_OID, {}, digest)), 0},
        {"eight FF bytes", padded(11 + good.size(), good), 0},
        {"seven FF bytes", shortFF, ERR_RSA_BAD_PADDING},
        {"FE inside padding", notFF, ERR_RSA_BAD_PADDING},
        {"no zero after padding", Bytes{0, 1} + Bytes(254, 0xFF), ERR_RSA_BAD_PADDING},
        {"shorter than the padding", Bytes{0, 1, 0xFF, 0}, ERR_RSA_BAD_PADDING},
        {"first byte not zero", Bytes{1} + tail(padded(256, good), 1), ERR_RSA_BAD_PADDING},
        {"garbage in parameters", padded(256, digest_info(SHA256_OID, from_hex("0403616263"), digest)),
         ERR_RSA_BAD_DIGEST_INFO},
        {"NULL then garbage", padded(256, digest_info(SHA256_OID, from_hex("05000000"), digest)),
         ERR_RSA_BAD_DIGEST_INFO},
        {"trailing data", padded(256, good + Bytes{0x00}), ERR_RSA_BAD_DIGEST_INFO},
        {"data after digest", padded(256, tlv(0x30, algorithm + tlv(0x04, digest) + NULL_PARAMS)),
         ERR_RSA_BAD_DIGEST_INFO},
        {"long-form length", padded(256, Bytes{0x30, 0x81, 0x31} + tail(good, 2)), ERR_DER_BAD_LENGTH},
        {"length beyond block", padded(256, Bytes{0x30, 0x32} + tail(good, 2)), ERR_DER_TRUNCATED},
        {"digest in BIT STRING", padded(256, tlv(0x30, algorithm + tlv(0x03, Bytes{0} + digest))),
         ERR_RSA_BAD_DIGEST_INFO},
        {"SHA3-256 OID", padded(256, digest_info(from_hex("608648016503040208"), {}, digest)),
         ERR_RSA_BAD_DIGEST_INFO},
        {"SHA-384 OID, 32 bytes", padded(256, digest_info(from_hex("608648016503040202"), {}, digest)),
         ERR_RSA_BAD_LENGTH},
        {"MD5 digest", padded(256, digest_info(from_hex("2a864886f70d0205"), {}, Bytes(16, 0x5C))),
         ERR_RSA_DIGEST_MISMATCH},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(rsa_check_pkcs1_block(c.block, digest), c.expected);
    }
}

TEST(RsaArguments, MissingPointers)
{
    const uint8_t buffer[256] = {};
    EXPECT_EQ(IMGSIGN_verifySignature(nullptr, 32, buffer, 256, buffer, 256), ERR_NULL_POINTER);
    EXPECT_EQ(IMGSIGN_verifySignature(buffer, 32, nullptr, 256, buffer, 256), ERR_NULL_POINTER);
    EXPECT_EQ(IMGSIGN_verifySignature(buffer, 32, buffer, 256, nullptr, 256), ERR_NULL_POINTER);
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 10, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(rsa_verify_digest(nullptr, {}, {}), ERR_NULL_POINTER);
    AsymKey *none = nullptr;
    EXPECT_EQ(asym_key_release(&none), OK);
    EXPECT_EQ(asym_key_release(nullptr), OK);
}

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

// What the modular arithmetic must refuse rather than compute wrongly.
TEST(RsaBigint, RefusedArguments)
{
    BigInt big{}, three{}, even{}, one{}, zero{}, result{};
    EXPECT_FALSE(bigint_from_bytes(&big, Bytes(BIGINT_MAX_BYTES + 1, 1)));
    ASSERT_TRUE(bigint_from_bytes(&big, Bytes(64, 0xFF)) && bigint_from_bytes(&three, Bytes{3}) &&
                bigint_from_bytes(&even, Bytes{4}) && bigint_from_bytes(&one, Bytes{1}));
    Bytes small(1);
    EXPECT_FALSE(bigint_to_bytes(&big, small));
    EXPECT_EQ(bigint_compare(&three, &big), -1);
    EXPECT_EQ(bigint_compare(&big, &three), 1);
    MontgomeryConstants m{};
    EXPECT_FALSE(bigint_montgomery_init(&m, &even));
    EXPECT_FALSE(bigint_mod_exp(&result, &three, &three, &even));
    EXPECT_FALSE(bigint_mod_exp(&result, &three, &three, &one));
    EXPECT_FALSE(bigint_mod_exp(&result, &three, &zero, &big));
}

} // namespace
