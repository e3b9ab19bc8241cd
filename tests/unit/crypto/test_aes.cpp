#include "crypto/support.h"
#include "security/crypto/aes.h"

#include <gtest/gtest.h>

namespace {

class AesCbcVectors : public testing::TestWithParam<std::pair<const char *, size_t>> {};

// Each record runs whole and split after the first block (so the IV carries the
// chain across calls), and must leave the last cipher block as the IV.
TEST_P(AesCbcVectors, EncryptAndDecryptRecords)
{
    const auto records = read_rsp(std::string(GetParam().first) + ".rsp");
    ASSERT_EQ(records.size(), GetParam().second);
    for (const auto &r : records) {
        const bool encrypt = r.at("section") == "ENCRYPT";
        const Bytes key = from_hex(r.at("KEY")), pt = from_hex(r.at("PLAINTEXT")),
                    ct = from_hex(r.at("CIPHERTEXT"));
        for (int32_t split : {int32_t(pt.size()), 16}) {
            SCOPED_TRACE(r.at("section") + " COUNT=" + r.at("COUNT") + " split=" + std::to_string(split));
            Bytes data = encrypt ? pt : ct, iv = from_hex(r.at("IV"));
            AESCtx *ctx = CreateAESCtx(key.data(), int32_t(key.size()), encrypt);
            ASSERT_NE(ctx, nullptr);
            EXPECT_EQ(DoAES(ctx, data.data(), split, encrypt, iv.data()), OK);
            EXPECT_EQ(DoAES(ctx, data.data() + split, int32_t(data.size()) - split, encrypt, iv.data()), OK);
            EXPECT_EQ(DeleteAESCtx(&ctx), OK);
            EXPECT_EQ(ctx, nullptr);
            EXPECT_EQ(data, encrypt ? ct : pt);
            EXPECT_EQ(iv, Bytes(ct.end() - 16, ct.end()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Nist, AesCbcVectors,
                         testing::ValuesIn(std::vector<std::pair<const char *, size_t>>{{"CBCGFSbox128", 14},
                                                                                        {"CBCGFSbox192", 12},
                                                                                        {"CBCGFSbox256", 10},
                                                                                        {"CBCKeySbox128", 42},
                                                                                        {"CBCKeySbox192", 48},
                                                                                        {"CBCKeySbox256", 32},
                                                                                        {"CBCVarKey128", 256},
                                                                                        {"CBCVarKey192", 384},
                                                                                        {"CBCVarKey256", 512},
                                                                                        {"CBCVarTxt128", 256},
                                                                                        {"CBCVarTxt192", 256},
                                                                                        {"CBCVarTxt256", 256},
                                                                                        {"CBCMMT128", 20},
                                                                                        {"CBCMMT192", 20},
                                                                                        {"CBCMMT256", 20}}),
                         [](const auto &info) { return std::string(info.param.first); });

TEST(CreateAESCtx, AcceptsOnlyAesKeyLengths)
{
    const uint8_t key[64] = {};
    for (int32_t bytes : {0, 12, 16, 17, 24, 32, 33, 64}) {
        for (int32_t encrypt : {0, 1}) {
            AESCtx *ctx = CreateAESCtx(key, bytes, encrypt);
            EXPECT_EQ(ctx != nullptr, bytes == 16 || bytes == 24 || bytes == 32) << bytes;
            DeleteAESCtx(&ctx);
        }
    }
    EXPECT_EQ(CreateAESCtx(nullptr, 16, 1), nullptr);
    AESCtx *none = nullptr;
    EXPECT_EQ(DeleteAESCtx(&none), OK);
    EXPECT_EQ(DeleteAESCtx(nullptr), OK);
}

// Refused calls (and the empty ones) must leave both the buffer and the IV alone.
TEST(DoAES, RefusedCallsChangeNothing)
{
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    enum { NoCtx = 1, NoData = 2, NoIv = 4 };
    const struct {
        int32_t ctxDirection, mode, length, direction, missing, status;
    } cases[] = {
        {1, AES_MODE_CBC, 17, 1, 0, ERR_AES_BAD_LENGTH},
        {0, AES_MODE_CBC, 17, 0, 0, ERR_AES_BAD_LENGTH},
        {1, AES_MODE_CBC, -16, 1, 0, ERR_AES_BAD_LENGTH},
        {1, AES_MODE_CBC, 32, 0, 0, ERR_AES_BAD_DIRECTION},
        {0, AES_MODE_CBC, 32, 1, 0, ERR_AES_BAD_DIRECTION},
        {1, 9, 16, 1, 0, ERR_AES_BAD_MODE},
        {0, 9, 16, 0, 0, ERR_AES_BAD_DIRECTION},
        {1, AES_MODE_CBC, 0, 1, 0, OK},
        {0, AES_MODE_CBC, 0, 0, 0, OK},
        {1, AES_MODE_CBC, 0, 1, NoData, OK},
        {1, AES_MODE_CBC, 16, 1, NoData, ERR_NULL_POINTER},
        {1, AES_MODE_CBC, 16, 1, NoCtx, ERR_NULL_POINTER},
        {1, AES_MODE_CBC, 16, 1, NoIv, ERR_NULL_POINTER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        AESCtx *ctx = CreateAESCtx(key, 16, c.ctxDirection);
        ASSERT_NE(ctx, nullptr);
        ctx->mode = c.mode;
        Bytes data(48), iv(16, 0x5a);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(i * 7);
        const Bytes original = data, originalIv = iv;
        EXPECT_EQ(DoAES(c.missing & NoCtx ? nullptr : ctx, c.missing & NoData ? nullptr : data.data(),
                        c.length, c.direction, c.missing & NoIv ? nullptr : iv.data()),
                  c.status);
        EXPECT_EQ(data, original);
        EXPECT_EQ(iv, originalIv);
        DeleteAESCtx(&ctx);
    }
}

} // namespace
