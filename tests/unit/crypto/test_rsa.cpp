#include <gtest/gtest.h>

#include "crypto/support.h"
#include "security/crypto/bigint.h"
#include "security/crypto/der.h"
#include "security/crypto/rsa.h"

namespace {

TEST(RsaWycheproof, EveryCaseOfTheSha256File)
{
    const auto cases = read_wycheproof();
    ASSERT_EQ(cases.size(), 259u);
    std::map<std::string, int> results;
    for (const auto &tc : cases) {
        SCOPED_TRACE("tcId " + tc.at("tcId"));
        const Bytes digest = sha256(from_hex(tc.at("msg"))), sig = from_hex(tc.at("sig"));
        ASSERT_EQ(digest.size(), 32u);
        const int32_t status = verify(digest, sig, to_bytes(tc.at("publicKeyPem")));
        EXPECT_EQ(status, verify(digest, sig, from_hex(tc.at("publicKeyDer"))));
        // tcId 8 is "acceptable": DigestInfo without its NULL, which DER allows.
        EXPECT_EQ(status == 0, tc.at("result") == "valid" || tc.at("tcId") == "8") << status;
        ++results[tc.at("result")];
    }
    EXPECT_EQ(results, (std::map<std::string, int>{{"acceptable", 1}, {"invalid", 249}, {"valid", 9}}));
}

// A full-size 4096-bit key verifies; longer moduli are refused before any arithmetic.
TEST(RsaVerify, ModulusSizes)
{
    const std::string make = "genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096";
    ASSERT_FALSE(openssl(make, "rsa4096.pem").empty());
    const Bytes key = openssl("pkey -in rsa4096.pem -pubout", "pub.pem");
    std::ofstream(openssl_dir() + "/in.bin") << "m";
    const Bytes sig = openssl("dgst -sha256 -sign rsa4096.pem", "sig.bin", "in.bin"), digest = sha256({'m'});
    ASSERT_EQ(sig.size(), 512u);
    EXPECT_EQ(verify(digest, sig, key), 0);
    EXPECT_EQ(verify(sha256({'n'}), sig, key), ERR_RSA_DIGEST_MISMATCH);
    EXPECT_EQ(verify(digest, Bytes(sig.begin() + 1, sig.end()), key), ERR_RSA_BAD_LENGTH);
    EXPECT_EQ(verify(digest, Bytes(512, 0xFF), key), ERR_RSA_BAD_PADDING); // not below the modulus

    Bytes modulus(520, 0x5A);
    modulus[0] = 0xC1;
    const Bytes rsaKey =
        tlv(0x30, tlv(0x02, Bytes{0x00} + modulus + Bytes{1}) + tlv(0x02, from_hex("010001")));
    const Bytes bigKey = tlv(0x30, tlv(0x30, tlv(0x06, from_hex("2a864886f70d010101")) + from_hex("0500")) +
                                       tlv(0x03, Bytes{0x00} + rsaKey));
    EXPECT_EQ(verify(digest, Bytes(521, 0x01), bigKey), ERR_RSA_MODULUS_TOO_LONG);
    EXPECT_EQ(verify(digest, sig, bigKey), ERR_RSA_BAD_LENGTH);
}

Bytes digest_info(const char *oidHex, const Bytes &params, const Bytes &digest)
{
    return tlv(0x30, tlv(0x30, tlv(0x06, from_hex(oidHex)) + params) + tlv(0x04, digest));
}

// 00 01 FF.. 00 || payload, `size` bytes long.
Bytes padded(const Bytes &payload, size_t size = 256)
{
    Bytes block{0x00, 0x01};
    block.resize(size - payload.size() - 1, 0xFF);
    return block + Bytes{0x00} + payload;
}

TEST(RsaPkcs1Block, StrictParsingRefusesForgeries)
{
    const char *sha256Oid = "608648016503040201";
    const Bytes digest(32, 0x5C), null = from_hex("0500"), good = digest_info(sha256Oid, null, digest);
    Bytes shortFF = padded(good, 11 + good.size()), notFF = padded(good), firstNot0 = padded(good);
    shortFF.erase(shortFF.begin() + 2); // seven FF bytes left
    notFF[40] = 0xFE;
    firstNot0[0] = 1;
    const struct {
        Bytes block;
        int32_t expected;
    } cases[] = {
        {padded(good), 0},
        {padded(digest_info(sha256Oid, {}, digest)), 0},
        {padded(good, 11 + good.size()), 0}, // eight FF bytes
        {shortFF, ERR_RSA_BAD_PADDING},
        {notFF, ERR_RSA_BAD_PADDING},
        {firstNot0, ERR_RSA_BAD_PADDING},
        {Bytes{0, 1} + Bytes(254, 0xFF), ERR_RSA_BAD_PADDING},
        {Bytes{0, 1, 0xFF, 0}, ERR_RSA_BAD_PADDING},
        {padded(digest_info(sha256Oid, from_hex("0403616263"), digest)), ERR_RSA_BAD_DIGEST_INFO},
        {padded(digest_info(sha256Oid, from_hex("05000000"), digest)), ERR_RSA_BAD_DIGEST_INFO},
        {padded(good + Bytes{0x00}), ERR_RSA_BAD_DIGEST_INFO},
        {padded(Bytes{0x30, 0x81, 0x31} + Bytes(good.begin() + 2, good.end())), ERR_DER_BAD_LENGTH},
        {padded(digest_info("608648016503040208", {}, digest)), ERR_RSA_BAD_DIGEST_INFO},        // SHA3-256
        {padded(digest_info("608648016503040202", {}, digest)), ERR_RSA_BAD_LENGTH},             // SHA-384
        {padded(digest_info("2a864886f70d0205", {}, Bytes(16, 0x5C))), ERR_RSA_DIGEST_MISMATCH}, // MD5
    };
    for (const auto &c : cases)
        EXPECT_EQ(rsa_check_pkcs1_block(c.block, digest), c.expected) << "row " << &c - cases;
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

// a^p = a (mod p) for primes p = 2^k - 1 that fill their top limb partly or
// fully, from one limb to near the capacity; refused arguments compute nothing.
TEST(RsaBigint, FermatOnMersennePrimesAndRefusals)
{
    for (size_t k : {61u, 89u, 127u, 521u, 607u, 1279u, 2203u, 3217u}) {
        Bytes pBytes((k + 7) / 8, 0xFF);
        pBytes[0] = static_cast<uint8_t>(k % 8 != 0 ? (1u << (k % 8)) - 1 : 0xFF);
        BigInt p{}, a{}, result{};
        ASSERT_TRUE(bigint_from_bytes(&p, pBytes));
        for (const Bytes &aBytes : {Bytes{2}, from_hex("0314159265"), Bytes(pBytes.size() - 1, 0xA7)}) {
            Bytes out(pBytes.size());
            ASSERT_TRUE(bigint_from_bytes(&a, aBytes) && bigint_mod_exp(&result, &a, &p, &p));
            ASSERT_TRUE(bigint_to_bytes(&result, out));
            EXPECT_EQ(out, Bytes(pBytes.size() - aBytes.size()) + aBytes) << "2^" << k << "-1";
        }
    }
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
