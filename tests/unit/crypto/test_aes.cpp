#include "crypto/support.h"
#include "security/crypto/aes.h"
#include "security/crypto/crypto.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

struct AesFile {
    const char *name;
    size_t records;
};

class AesCbcVectors : public testing::TestWithParam<AesFile> {};

// Runs one DoAES call per piece, so a split input also checks IV chaining.
Bytes run_cbc(const Bytes &key, Bytes iv, Bytes data, int32_t encrypt, size_t firstPiece, Bytes *ivAfter)
{
    AESCtx *ctx = CreateAESCtx(key.data(), int32_t(key.size()), encrypt);
    EXPECT_NE(ctx, nullptr);
    if (ctx == nullptr)
        return {};
    size_t first = std::min(firstPiece, data.size());
    EXPECT_EQ(DoAES(ctx, data.data(), int32_t(first), encrypt, iv.data()), OK);
    EXPECT_EQ(DoAES(ctx, data.data() + first, int32_t(data.size() - first), encrypt, iv.data()), OK);
    EXPECT_EQ(DeleteAESCtx(&ctx), OK);
    EXPECT_EQ(ctx, nullptr);
    *ivAfter = iv;
    return data;
}

TEST_P(AesCbcVectors, EncryptAndDecryptRecords)
{
    auto records = read_rsp(GetParam().name);
    ASSERT_EQ(records.size(), GetParam().records);
    for (const auto &r : records) {
        const bool encrypt = r.section == "ENCRYPT";
        ASSERT_TRUE(encrypt || r.section == "DECRYPT");
        Bytes key = from_hex(r.fields.at("KEY")), iv = from_hex(r.fields.at("IV"));
        Bytes pt = from_hex(r.fields.at("PLAINTEXT")), ct = from_hex(r.fields.at("CIPHERTEXT"));
        const Bytes &in = encrypt ? pt : ct;
        const Bytes &want = encrypt ? ct : pt;
        const Bytes lastCipherBlock(ct.end() - 16, ct.end());
        for (size_t split : {in.size(), size_t(16)}) {
            Bytes ivAfter;
            EXPECT_EQ(run_cbc(key, iv, in, encrypt, split, &ivAfter), want)
                << r.section << " COUNT=" << r.fields.at("COUNT") << " split=" << split;
            EXPECT_EQ(ivAfter, lastCipherBlock) << r.section << " COUNT=" << r.fields.at("COUNT");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Nist, AesCbcVectors,
                         testing::Values(AesFile{"CBCGFSbox128.rsp", 14}, AesFile{"CBCGFSbox192.rsp", 12},
                                         AesFile{"CBCGFSbox256.rsp", 10}, AesFile{"CBCKeySbox128.rsp", 42},
                                         AesFile{"CBCKeySbox192.rsp", 48}, AesFile{"CBCKeySbox256.rsp", 32},
                                         AesFile{"CBCVarKey128.rsp", 256}, AesFile{"CBCVarKey192.rsp", 384},
                                         AesFile{"CBCVarKey256.rsp", 512}, AesFile{"CBCVarTxt128.rsp", 256},
                                         AesFile{"CBCVarTxt192.rsp", 256}, AesFile{"CBCVarTxt256.rsp", 256},
                                         AesFile{"CBCMMT128.rsp", 20}, AesFile{"CBCMMT192.rsp", 20},
                                         AesFile{"CBCMMT256.rsp", 20}),
                         [](const testing::TestParamInfo<AesFile> &info) {
                             std::string n = info.param.name;
                             return n.substr(0, n.find('.'));
                         });

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
}

// Refused calls (and the empty one) must leave both the buffer and the IV alone.
TEST(DoAES, RefusedCallsChangeNothing)
{
    const uint8_t key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const struct {
        const char *what;
        int32_t ctxDirection, mode, length, direction, status;
    } cases[] = {
        {"length 17", 1, AES_MODE_CBC, 17, 1, ERR_AES_BAD_LENGTH},
        {"length 17 decrypt", 0, AES_MODE_CBC, 17, 0, ERR_AES_BAD_LENGTH},
        {"negative length", 1, AES_MODE_CBC, -16, 1, ERR_AES_BAD_LENGTH},
        {"decrypt on encrypt context", 1, AES_MODE_CBC, 32, 0, ERR_AES_BAD_DIRECTION},
        {"encrypt on decrypt context", 0, AES_MODE_CBC, 32, 1, ERR_AES_BAD_DIRECTION},
        {"unknown mode encrypting", 1, 9, 16, 1, ERR_AES_BAD_MODE},
        {"unknown mode decrypting", 0, 9, 16, 0, ERR_AES_BAD_DIRECTION},
        {"empty encrypt", 1, AES_MODE_CBC, 0, 1, OK},
        {"empty decrypt", 0, AES_MODE_CBC, 0, 0, OK},
    };
    for (const auto &c : cases) {
        AESCtx *ctx = CreateAESCtx(key, 16, c.ctxDirection);
        ASSERT_NE(ctx, nullptr);
        ctx->mode = c.mode;
        Bytes data(48), iv(16, 0x5a);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = uint8_t(i * 7);
        const Bytes original = data, originalIv = iv;
        EXPECT_EQ(DoAES(ctx, data.data(), c.length, c.direction, iv.data()), c.status) << c.what;
        EXPECT_EQ(data, original) << c.what;
        EXPECT_EQ(iv, originalIv) << c.what;
        DeleteAESCtx(&ctx);
    }
}

TEST(DeleteAESCtx, EmptyPlacesAreFine)
{
    const uint8_t key[16] = {};
    uint8_t data[16] = {}, iv[16] = {};
    AESCtx *ctx = CreateAESCtx(key, 16, 1);
    EXPECT_EQ(DoAES(nullptr, data, 16, 1, iv), ERR_NULL_POINTER);
    EXPECT_EQ(DoAES(ctx, data, 16, 1, nullptr), ERR_NULL_POINTER);
    EXPECT_EQ(DoAES(ctx, nullptr, 16, 1, iv), ERR_NULL_POINTER);
    DeleteAESCtx(&ctx);
    AESCtx *none = nullptr;
    EXPECT_EQ(DeleteAESCtx(&none), OK);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(DeleteAESCtx(nullptr), OK);
}

} // namespace
