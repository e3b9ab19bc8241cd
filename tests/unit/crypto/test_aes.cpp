#include "crypto/support.h"
#include "security/crypto/aes.h"

#include <gtest/gtest.h>

namespace {

// A parameter is "<file name without .rsp> <record count>".
class AesCbcVectors : public testing::TestWithParam<std::string> {};

// Whole, and split after the first block so the IV carries the chain across
// calls; the last cipher block is left as the IV.
TEST_P(AesCbcVectors, EncryptAndDecryptRecords)
{
    const size_t space = GetParam().find(' ');
    const auto records = read_vectors(GetParam().substr(0, space) + ".rsp", "CIPHERTEXT");
    ASSERT_EQ(records.size(), std::stoul(GetParam().substr(space)));
    for (const auto &r : records) {
        const int32_t encrypt = r.at("section") == "ENCRYPT";
        const Bytes key = from_hex(r.at("KEY")), pt = from_hex(r.at("PLAINTEXT")),
                    ct = from_hex(r.at("CIPHERTEXT"));
        for (int32_t split : {int32_t(pt.size()), 16}) {
            Bytes data = encrypt ? pt : ct, iv = from_hex(r.at("IV"));
            AESCtx *ctx = CreateAESCtx(key.data(), int32_t(key.size()), encrypt);
            EXPECT_EQ(DoAES(ctx, data.data(), split, encrypt, iv.data()), OK);
            EXPECT_EQ(DoAES(ctx, data.data() + split, int32_t(data.size()) - split, encrypt, iv.data()), OK);
            EXPECT_EQ(DeleteAESCtx(&ctx), OK);
            EXPECT_EQ(ctx, nullptr);
            EXPECT_EQ(data, encrypt ? ct : pt)
                << r.at("section") << " COUNT=" << r.at("COUNT") << " split=" << split;
            EXPECT_EQ(iv, Bytes(ct.end() - 16, ct.end())) << r.at("section") << " COUNT=" << r.at("COUNT");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Nist, AesCbcVectors,
                         testing::Values("CBCGFSbox128 14", "CBCGFSbox192 12", "CBCGFSbox256 10",
                                         "CBCKeySbox128 42", "CBCKeySbox192 48", "CBCKeySbox256 32",
                                         "CBCVarKey128 256", "CBCVarKey192 384", "CBCVarKey256 512",
                                         "CBCVarTxt128 256", "CBCVarTxt192 256", "CBCVarTxt256 256",
                                         "CBCMMT128 20", "CBCMMT192 20", "CBCMMT256 20"),
                         [](const auto &info) { return info.param.substr(0, info.param.find(' ')); });

// Refused calls (and empty ones) leave both the buffer and the IV alone; only
// AES key lengths make a context.
TEST(DoAES, RefusedCallsChangeNothing)
{
    const uint8_t key[64] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (int32_t bytes : {0, 12, 17, 33, 64})
        EXPECT_EQ(CreateAESCtx(key, bytes, 1), nullptr) << bytes;
    EXPECT_EQ(CreateAESCtx(nullptr, 16, 1), nullptr);
    AESCtx *none = nullptr;
    EXPECT_EQ(DeleteAESCtx(&none), OK);
    EXPECT_EQ(DeleteAESCtx(nullptr), OK);
    enum { NoCtx = 1, NoData = 2, NoIv = 4 };
    const struct {
        int32_t ctxDirection, mode, length, direction, missing, status;
    } cases[] = {{1, AES_MODE_CBC, 17, 1, 0, ERR_AES_BAD_LENGTH},
                 {1, AES_MODE_CBC, -16, 1, 0, ERR_AES_BAD_LENGTH},
                 {1, AES_MODE_CBC, 32, 0, 0, ERR_AES_BAD_DIRECTION},
                 {0, AES_MODE_CBC, 32, 1, 0, ERR_AES_BAD_DIRECTION},
                 {1, 9, 16, 1, 0, ERR_AES_BAD_MODE},
                 {0, 9, 16, 0, 0, ERR_AES_BAD_DIRECTION},
                 {1, AES_MODE_CBC, 0, 1, 0, OK},
                 {1, AES_MODE_CBC, 0, 1, NoData, OK},
                 {1, AES_MODE_CBC, 16, 1, NoData, ERR_NULL_POINTER},
                 {1, AES_MODE_CBC, 16, 1, NoCtx, ERR_NULL_POINTER},
                 {1, AES_MODE_CBC, 16, 1, NoIv, ERR_NULL_POINTER}};
    for (const auto &c : cases) {
        AESCtx *ctx = CreateAESCtx(key, 16, c.ctxDirection);
        ctx->mode = c.mode;
        Bytes data(48, 0x33), iv(16, 0x5a);
        EXPECT_EQ(DoAES(c.missing & NoCtx ? nullptr : ctx, c.missing & NoData ? nullptr : data.data(),
                        c.length, c.direction, c.missing & NoIv ? nullptr : iv.data()),
                  c.status)
            << "row " << &c - cases;
        EXPECT_EQ(data, Bytes(48, 0x33)) << "row " << &c - cases;
        EXPECT_EQ(iv, Bytes(16, 0x5a)) << "row " << &c - cases;
        DeleteAESCtx(&ctx);
    }
}

} // namespace
