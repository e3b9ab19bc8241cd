#include <gtest/gtest.h>

#include "crypto/support.h"
#include "security/crypto/base64.h"
#include "security/crypto/der.h"
#include "security/crypto/pem.h"
#include "security/crypto/rsa.h"

namespace {

TEST(Base64, StrictDecoding)
{
    const struct {
        std::string text;
        int32_t expected;
        const char *hex;
    } cases[] = {{"", 0, ""},
                 {"Zg==", 0, "66"},
                 {"Zm8=", 0, "666f"},
                 {"Zm9vYmFy", 0, "666f6f626172"},
                 {"+/+/", 0, "fbffbf"},
                 {"Zg=", ERR_BASE64_BAD_LENGTH, ""},
                 {"Z===", ERR_BASE64_BAD_PADDING, ""},
                 {"Zg=a", ERR_BASE64_BAD_PADDING, ""},
                 {"Zg==Zm9v", ERR_BASE64_BAD_PADDING, ""},
                 {"Zh==", ERR_BASE64_BAD_PADDING, ""}, // bits left over after the last byte
                 {"Zm9=", ERR_BASE64_BAD_PADDING, ""},
                 {"Zm-_", ERR_BASE64_BAD_CHARACTER, ""}, // base64url is another alphabet
                 {std::string("Zm9\0", 4), ERR_BASE64_BAD_CHARACTER, ""},
                 {"Zm9\x80", ERR_BASE64_BAD_CHARACTER, ""}};
    ASSERT_EQ(base64_init_table(), 0);
    for (const auto &c : cases) {
        Bytes out(base64_decoded_capacity(c.text.size()));
        size_t written = 99;
        EXPECT_EQ(base64_decode(to_bytes(c.text), out, &written), c.expected) << c.text;
        out.resize(written);
        EXPECT_EQ(out, from_hex(c.hex)) << c.text; // nothing reported written on failure
    }
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

// Status of the conversion; `modulus` gets the key's modulus on success.
int32_t convert(const Bytes &text, Bytes *modulus)
{
    AsymKeyPtr key(asym_key_create());
    const int32_t status = CA_MGMT_convertPublicKey(text.data(), uint32_t(text.size()), key.get());
    modulus->assign(status == 0 ? key->modulusLength : 0, 0);
    EXPECT_TRUE(status != 0 || bigint_to_bytes(&key->modulus, *modulus));
    return status;
}

TEST(DerPublicKey, MalformedKeysAreRefused)
{
    struct Parts {
        Bytes oid = from_hex("2a864886f70d010101"), params = from_hex("0500"), unusedBits = {0};
        Bytes modulus = Bytes{0x00, 0xC5} + Bytes(254, 0x6B) + Bytes{0x11};
        Bytes exponent = from_hex("010001"), afterKey, afterInfo, afterAll;
    };
    auto with = [](auto change) {
        Parts p;
        change(p);
        const Bytes rsaKey = tlv(0x30, tlv(0x02, p.modulus) + tlv(0x02, p.exponent)) + p.afterKey;
        const Bytes algorithm = tlv(0x30, tlv(0x06, p.oid) + p.params);
        return tlv(0x30, algorithm + tlv(0x03, p.unusedBits + rsaKey) + p.afterInfo) + p.afterAll;
    };
    const Bytes good = with([](Parts &) {}), body(good.begin() + 4, good.end()), want = Parts{}.modulus;
    Bytes modulus;
    ASSERT_EQ(convert(good, &modulus), 0);
    EXPECT_EQ(modulus, Bytes(want.begin() + 1, want.end()));
    Bytes octets = good,
          emptyBits = tlv(0x30, Bytes(good.begin() + 4, good.begin() + 19) + Bytes{0x03, 0x00});
    octets[19] = 0x04; // OCTET STRING for the BIT STRING
    const Bytes cases[] = {with([](Parts &p) { p.oid.back() = 0x05; }),
                           with([](Parts &p) { p.oid.pop_back(); }),
                           with([](Parts &p) { p.params.clear(); }),
                           with([](Parts &p) { p.params = from_hex("0400"); }),
                           with([](Parts &p) { p.params = from_hex("05000500"); }),
                           with([](Parts &p) { p.unusedBits = {1}; }),
                           with([](Parts &p) { p.modulus.erase(p.modulus.begin()); }),        // negative
                           with([](Parts &p) { p.modulus.insert(p.modulus.begin(), 0x00); }), // non-minimal
                           with([](Parts &p) { p.modulus.back() = 0x10; }),                   // even
                           with([](Parts &p) { p.modulus = {0x03}; }),                        // one byte
                           with([](Parts &p) { p.exponent = {1}; }),
                           with([](Parts &p) { p.exponent = {4}; }),
                           with([](Parts &p) { p.exponent = {0x83}; }),
                           with([](Parts &p) { p.exponent.clear(); }),
                           with([](Parts &p) { p.exponent = Bytes(300, 0x01); }), // longer than the modulus
                           with([](Parts &p) { p.afterKey = from_hex("0500"); }),
                           with([](Parts &p) { p.afterInfo = from_hex("0500"); }),
                           with([](Parts &p) { p.afterAll = {0x00}; }),
                           octets,
                           emptyBits,
                           Bytes{0x30, 0x83, 0x00, 0x01, 0x22} + body,             // leading zero length byte
                           Bytes{0x30, 0x80} + body + Bytes{0x00, 0x00},           // indefinite length
                           Bytes{0x30, 0x85, 0x00, 0x00, 0x00, 0x01, 0x22} + body, // five length bytes
                           Bytes{0x30, 0x81, 0x7F} + Bytes(0x7F, 0), // long form for a short length
                           Bytes{0x3f, 0x81, 0x10} + body,           // multi-byte tag
                           tlv(0x30, tlv(0x02, want) + tlv(0x02, from_hex("010001")))}; // bare RSAPublicKey
    for (const Bytes &c : cases)
        EXPECT_LT(convert(c, &modulus), 0) << "case " << &c - cases;
    for (size_t length = 0; length < good.size(); ++length)
        EXPECT_LT(CA_MGMT_convertPublicKey(good.data(), uint32_t(length), nullptr), 0) << length;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
    return text;
}

TEST(PemKeyText, FramingVariants)
{
    const Record key = read_vectors("rsa_signature_2048_sha256_test.json", "result").at(0);
    const std::string pem = key.at("publicKeyPem"), body = pem.substr(27, pem.find("-----END") - 27);
    std::string badLength = pem;
    badLength[29] = 'J'; // "MIIBIj..." encodes 30 82 01 22: now another length
    Bytes expected, modulus;
    ASSERT_EQ(convert(to_bytes(pem), &expected), 0);
    ASSERT_EQ(expected.size(), 256u);
    const struct {
        Bytes text;
        bool accepted;
    } cases[] = {{to_bytes(replace_all(pem, "\n", "\r\n")), true},
                 {to_bytes(pem.substr(0, pem.size() - 1)), true}, // no final line end
                 {to_bytes(replace_all(body, "\n", " ")), true},
                 {to_bytes(replace_all(pem, "PUBLIC KEY", "RSA THING")), true},
                 {from_hex(key.at("publicKeyDer")), true},
                 {to_bytes(pem.substr(0, 100) + pem.substr(101)), false},
                 {to_bytes(replace_all(pem, "\n", "\t\n")), false},
                 {to_bytes(pem) + Bytes{0}, false}, // NUL terminator counted
                 {to_bytes(replace_all(pem, "+", ".")), false},
                 {to_bytes(badLength), false},
                 {to_bytes("-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n"), false}};
    for (const auto &c : cases) {
        EXPECT_EQ(convert(c.text, &modulus) == 0, c.accepted) << "row " << &c - cases;
        EXPECT_EQ(modulus, c.accepted ? expected : Bytes{}) << "row " << &c - cases;
    }
}

} // namespace
