#include <gtest/gtest.h>

#include "crypto/rsa_test_support.h"
#include "security/crypto/base64.h"

namespace {

TEST(Base64, StrictDecoding)
{
    struct Case {
        std::string text;
        int32_t expected;
        const char *hex;
    } cases[] = {
        {"", 0, ""},
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
        {"Zm9\x80", ERR_BASE64_BAD_CHARACTER, ""},
    };
    ASSERT_EQ(base64_init_table(), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Bytes out(base64_decoded_capacity(c.text.size()));
        size_t written = 0;
        EXPECT_EQ(base64_decode(to_bytes(c.text), out, &written), c.expected);
        out.resize(written);
        EXPECT_EQ(out, from_hex(c.hex)); // nothing reported written on failure
    }
}

} // namespace
