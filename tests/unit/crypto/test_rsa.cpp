#include <gtest/gtest.h>

#include <array>
#include <regex>

#include "crypto/support.h"
#include "security/crypto/base64.h"
#include "security/crypto/bigint.h"
#include "security/crypto/der.h"
#include "security/crypto/pem.h"
#include "security/crypto/rsa.h"
#include "security/crypto/sha256.h"

namespace {

Bytes sha256(Bytes data)
{
    Bytes digest(32);
    return ::sha256(data.data(), data.size(), digest.data()), digest;
}

int32_t verify(const Bytes &digest, const Bytes &sig, const Bytes &key)
{
    return IMGSIGN_verifySignature(digest.data(), uint32_t(digest.size()), sig.data(), uint32_t(sig.size()),
                                   key.data(), uint32_t(key.size()));
}

// Status of the conversion; `modulus` gets the key's modulus on success.
int32_t convert(const Bytes &text, Bytes *modulus)
{
    AsymKeyPtr key(asym_key_create());
    const int32_t status = CA_MGMT_convertPublicKey(text.data(), uint32_t(text.size()), key.get());
    modulus->assign(status == 0 ? key->modulusLength : 0, 0);
    EXPECT_TRUE(status != 0 || bigint_to_bytes(&key->modulus, *modulus));
    return status;
}

// A key of parts in hex: OID, parameters, unused bits, modulus, exponent and
// bytes after the RSA key, after the key info and after everything; `at` replaced.
Bytes spki(size_t at, const std::string &hex)
{
    std::array<std::string, 8> p = {"2a864886f70d010101", "0500", "00", "00c56b11", "010001", "", "", ""};
    p.at(at) = hex;
    auto h = [&p](size_t i) { return from_hex(p[i]); };
    const Bytes rsaKey = tlv(0x30, tlv(0x02, h(3)) + tlv(0x02, h(4))) + h(5);
    return tlv(0x30, tlv(0x30, tlv(0x06, h(0)) + h(1)) + tlv(0x03, h(2) + rsaKey) + h(6)) + h(7);
}

TEST(RsaWycheproof, EveryCaseOfTheSha256File)
{
    std::map<std::string, int> results;
    for (const auto &tc : read_vectors("rsa_signature_2048_sha256_test.json", "result")) {
        SCOPED_TRACE("tcId " + tc.at("tcId"));
        const Bytes digest = sha256(from_hex(tc.at("msg"))), sig = from_hex(tc.at("sig"));
        const int32_t status = verify(digest, sig, to_bytes(tc.at("publicKeyPem")));
        EXPECT_EQ(status, verify(digest, sig, from_hex(tc.at("publicKeyDer"))));
        // tcId 8, "acceptable": DigestInfo without its NULL, which DER allows.
        EXPECT_EQ(status == 0, tc.at("result") == "valid" || tc.at("tcId") == "8");
        ++results[tc.at("result")];
    }
    EXPECT_EQ(results, (std::map<std::string, int>{{"acceptable", 1}, {"invalid", 249}, {"valid", 9}}));
}

// A full-size 4096-bit key verifies; longer moduli are refused before any arithmetic.
TEST(RsaVerify, ModulusSizesAndArguments)
{
    ASSERT_FALSE(openssl("genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096", "rsa4096.pem").empty());
    const Bytes key = openssl("pkey -in rsa4096.pem -pubout", "pub.pem"), digest = sha256({'m'});
    std::ofstream(openssl_dir() + "/in.bin") << "m";
    const Bytes sig = openssl("dgst -sha256 -sign rsa4096.pem", "sig.bin", "in.bin");
    ASSERT_EQ(sig.size(), 512u);
    EXPECT_EQ(verify(digest, sig, key), 0);
    EXPECT_EQ(verify(sha256({'n'}), sig, key), ERR_RSA_DIGEST_MISMATCH);
    EXPECT_EQ(verify(digest, Bytes(sig.begin() + 1, sig.end()), key), ERR_RSA_BAD_LENGTH);
    EXPECT_EQ(verify(digest, Bytes(512, 0xFF), key), ERR_RSA_BAD_PADDING); // not below the modulus
    const Bytes bigKey = spki(3, "00" + std::string(1040, 'c') + "01");    // 521 bytes
    EXPECT_EQ(verify(digest, Bytes(521, 0x01), bigKey), ERR_RSA_MODULUS_TOO_LONG);
    EXPECT_EQ(verify(digest, sig, bigKey), ERR_RSA_BAD_LENGTH);
    for (int missing = 0; missing < 3; ++missing)
        EXPECT_EQ(IMGSIGN_verifySignature(missing == 0 ? nullptr : sig.data(), 32,
                                          missing == 1 ? nullptr : sig.data(), 512,
                                          missing == 2 ? nullptr : key.data(), uint32_t(key.size())),
                  ERR_NULL_POINTER);
    EXPECT_EQ(CA_MGMT_convertPublicKey(nullptr, 10, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(rsa_verify_digest(nullptr, {}, {}), ERR_NULL_POINTER);
    AsymKey *none = nullptr;
    EXPECT_TRUE(asym_key_release(&none) == OK && asym_key_release(nullptr) == OK);
}

// Wycheproof's forgeries come through the real key; these are the padding's
// edges: eight FF bytes at least, then 00, in a block long enough for both.
TEST(RsaPkcs1Block, PaddingEdges)
{
    const Bytes info = from_hex("003031300d060960864801650304020105000420") + Bytes(32, 0x5C);
    for (size_t ffs : {7u, 8u})
        EXPECT_EQ(rsa_check_pkcs1_block(Bytes{0, 1} + Bytes(ffs, 0xFF) + info, Bytes(32, 0x5C)),
                  ffs < 8 ? ERR_RSA_BAD_PADDING : OK);
    for (const Bytes &b : {Bytes{0, 1} + Bytes(254, 0xFF), Bytes{0, 1, 0xFF, 0}})
        EXPECT_EQ(rsa_check_pkcs1_block(b, Bytes(32, 0x5C)), ERR_RSA_BAD_PADDING) << b.size();
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
    EXPECT_EQ(bigint_compare(&big, &three), 1); // more limbs
    EXPECT_FALSE(bigint_mod_exp(&result, &three, &three, &even));
    EXPECT_FALSE(bigint_mod_exp(&result, &three, &three, &one));
    EXPECT_FALSE(bigint_mod_exp(&result, &three, &zero, &big));
}

TEST(Base64, StrictDecoding)
{
    const std::map<int32_t, std::vector<std::string>> refused = {
        {ERR_BASE64_BAD_LENGTH, {"Zg="}},
        {ERR_BASE64_BAD_PADDING,
         {"Z===", "Zg=a", "Zg==Zm9v", "Zh==", "Zm9="}}, // Zh==: bits after the last byte
        {ERR_BASE64_BAD_CHARACTER, {"Zm-_", std::string("Zm9\0", 4), "Zm9\x80"}}}; // Zm-_: base64url
    const std::map<std::string, std::string> accepted = {
        {"", ""}, {"Zg==", "66"}, {"Zm8=", "666f"}, {"Zm9vYmFy", "666f6f626172"}, {"+/+/", "fbffbf"}};
    ASSERT_EQ(base64_init_table(), 0);
    auto decode = [](const std::string &text, int32_t status) {
        Bytes out(base64_decoded_capacity(text.size()));
        size_t written = 99;
        EXPECT_EQ(base64_decode(to_bytes(text), out, &written), status) << text;
        return out.resize(written), out; // nothing reported written on failure
    };
    for (const auto &[status, texts] : refused)
        for (const std::string &text : texts)
            EXPECT_EQ(decode(text, status), Bytes{}) << text;
    for (const auto &[text, hex] : accepted)
        EXPECT_EQ(decode(text, OK), from_hex(hex)) << text;
    // No place for the count, or less room than the text can need.
    Bytes out(3);
    size_t written = 0;
    EXPECT_EQ(base64_decode(to_bytes("Zm9v"), out, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(base64_decode(to_bytes("Zm9vYmFy"), out, &written), ERR_BASE64_BAD_LENGTH);
    EXPECT_EQ(pem_decode(to_bytes("Zm9v"), out, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(pem_decode(to_bytes("Zm9vYmFy"), out, &written), ERR_BASE64_BAD_LENGTH);
    std::span<const uint8_t> der(out);
    EXPECT_EQ(der_read_element(der, nullptr), ERR_NULL_POINTER);
}

TEST(DerPublicKey, MalformedKeysAreRefused)
{
    const Bytes good = spki(0, "2a864886f70d010101");
    Bytes modulus, octets = good,
                   emptyBits = tlv(0x30, Bytes(good.begin() + 2, good.begin() + 17) + Bytes{3, 0});
    ASSERT_EQ(convert(good, &modulus), 0);
    EXPECT_EQ(modulus, from_hex("c56b11"));
    octets[17] = 0x04; // OCTET STRING for the BIT STRING
    // A row is a part's index and its new hex: a wrong or cut OID; parameters missing,
    // wrong or doubled; unused bits; a negative, non-minimal, even or one-byte modulus;
    // exponents 1, even, negative, empty or longer than the modulus; trailing bytes.
    for (const std::string row :
         {"02a864886f70d010105", "02a864886f70d0101", "1", "10400", "105000500", "201", "3c56b11",
          "30000c56b11", "300c56b10", "303", "401", "404", "483", "4", "401010101", "50500", "60500", "700"})
        EXPECT_LT(convert(spki(row[0] - '0', row.substr(1)), &modulus), 0) << row;
    const Bytes longForm = Bytes{0x30, 0x81} + Bytes(good.begin() + 1, good.end()); // for a short length
    for (const Bytes &c : {octets, emptyBits, longForm})
        EXPECT_LT(convert(c, &modulus), 0) << c.size();
}

// Line ends, label and whitespace may vary; a tab, a PKCS #1 key, an empty body
// or a cut DER key may not.
TEST(PemKeyText, FramingVariants)
{
    const Record key = read_vectors("rsa_signature_2048_sha256_test.json", "result").at(0);
    const std::string pem = key.at("publicKeyPem"), body = pem.substr(27, pem.find("-----END") - 27);
    const Bytes der = from_hex(key.at("publicKeyDer"));
    auto replaced = [&pem](const char *from, const char *to) {
        return std::regex_replace(pem, std::regex(from), to);
    };
    Bytes expected, modulus;
    ASSERT_EQ(convert(to_bytes(pem), &expected), 0);
    ASSERT_EQ(expected.size(), 256u);
    for (const Bytes &text : {to_bytes(replaced("\n", "\r\n")), to_bytes(pem.substr(0, pem.size() - 1)),
                              to_bytes(std::regex_replace(body, std::regex("\n"), " ")),
                              to_bytes(replaced("PUBLIC KEY", "RSA THING")), der}) {
        EXPECT_EQ(convert(text, &modulus), 0) << std::string(text.begin(), text.end());
        EXPECT_EQ(modulus, expected);
    }
    for (const Bytes &text : {to_bytes(replaced("\n", "\t\n")), from_hex(key.at("publicKeyAsn")),
                              to_bytes("-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n")})
        EXPECT_LT(convert(text, &modulus), 0) << std::string(text.begin(), text.end());
    for (size_t length = 0; length < der.size(); ++length)
        EXPECT_LT(CA_MGMT_convertPublicKey(der.data(), uint32_t(length), nullptr), 0) << length;
}

} // namespace
