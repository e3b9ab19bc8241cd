#include <gtest/gtest.h>

#include "crypto/rsa_test_support.h"
#include "security/crypto/rsa.h"

namespace {

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
        text.replace(pos, from.size(), to);
    return text;
}

// Status of the conversion; `modulus` gets the key's modulus on success.
int32_t convert(const Bytes &text, Bytes *modulus)
{
    AsymKeyPtr key(asym_key_create());
    const int32_t status =
        CA_MGMT_convertPublicKey(text.data(), static_cast<uint32_t>(text.size()), key.get());
    modulus->assign(status == 0 ? key->modulusLength : 0, 0);
    if (status == 0 && !bigint_to_bytes(&key->modulus, *modulus))
        modulus->clear();
    return status;
}

TEST(PemKeyText, FramingVariants)
{
    const WycheproofFile file = read_wycheproof();
    ASSERT_FALSE(file.keyPem.empty());
    const std::string pem = file.keyPem[0];
    const size_t bodyStart = pem.find('\n') + 1;
    const std::string body = pem.substr(bodyStart, pem.find("-----END") - bodyStart);
    std::string badLength = pem;
    badLength[bodyStart + 2] = 'J'; // "MIIBIj..." encodes 30 82 01 22: now another length

    Bytes expected, modulus;
    ASSERT_EQ(convert(to_bytes(pem), &expected), 0);
    ASSERT_EQ(expected.size(), 256u);
    struct Case {
        const char *name;
        Bytes text;
        bool accepted;
    } cases[] = {
        {"CR LF", to_bytes(replace_all(pem, "\n", "\r\n")), true},
        {"no final line end", to_bytes(pem.substr(0, pem.size() - 1)), true},
        {"bare base64", to_bytes(body), true},
        {"one line with spaces", to_bytes(replace_all(body, "\n", " ")), true},
        {"other label", to_bytes(replace_all(pem, "PUBLIC KEY", "RSA THING")), true},
        {"DER", file.keyDer[0], true},
        {"character dropped", to_bytes(pem.substr(0, 100) + pem.substr(101)), false},
        {"tab before line end", to_bytes(replace_all(pem, "\n", "\t\n")), false},
        {"NUL terminator counted", to_bytes(pem) + Bytes{0}, false},
        {"outside alphabet", to_bytes(replace_all(pem, "+", ".")), false},
        {"length changed", to_bytes(badLength), false},
        {"body cut short", to_bytes(pem.substr(0, 200)), false},
        {"markers only", to_bytes("-----BEGIN PUBLIC KEY-----\n-----END PUBLIC KEY-----\n"), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int32_t status = convert(c.text, &modulus);
        if (c.accepted) {
            EXPECT_EQ(status, 0);
            EXPECT_EQ(modulus, expected);
        } else {
            EXPECT_LT(status, 0);
        }
    }
}

} // namespace
