#include "crypto/support.h"
#include "security/crypto/aes.h"
#include "security/crypto/crypto_init.h"
#include "security/crypto/random.h"
#include "security/crypto/sha256.h"

#include <gtest/gtest.h>

namespace {

class Sha256Path_ : public testing::TestWithParam<Sha256Path> {
  protected:
    void SetUp() override
    {
        if ((sha256_available_paths() & GetParam()) == 0)
            GTEST_SKIP() << "CPU lacks this path";
        ASSERT_TRUE(sha256_force_path(GetParam()));
        ASSERT_EQ(sha256_active_path(), GetParam());
    }
    void TearDown() override { sha256_select_best_path(); }
};

// Whole, and streamed in pieces of every awkward size for the 64-byte buffer.
TEST_P(Sha256Path_, NistVectorsWholeAndInPieces)
{
    for (const auto &[file, count] : {std::pair{"SHA256ShortMsg.rsp", 65u}, {"SHA256LongMsg.rsp", 64u}}) {
        const auto records = read_vectors(file, "MD");
        ASSERT_EQ(records.size(), count) << file;
        for (const auto &r : records) {
            Bytes msg = from_hex(r.at("Msg")), md(32);
            msg.resize(std::stoul(r.at("Len")) / 8); // Len = 0 carries a placeholder byte
            sha256(msg.data(), msg.size(), md.data());
            EXPECT_EQ(md, from_hex(r.at("MD"))) << "Len=" << r.at("Len");
            for (size_t chunk : {1, 3, 55, 56, 63, 64, 65, 127}) {
                Sha256Ctx ctx;
                sha256_init(&ctx);
                for (size_t off = 0; off < msg.size(); off += chunk)
                    sha256_update(&ctx, msg.data() + off, std::min(chunk, msg.size() - off));
                sha256_final(&ctx, md.data());
                EXPECT_EQ(md, from_hex(r.at("MD"))) << "Len=" << r.at("Len") << " chunk=" << chunk;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Sha256Path_, testing::Values(SHA256_PATH_PORTABLE, SHA256_PATH_X86_SHA));

// Only one path, and one the CPU has, can be forced. The digest fills the first
// 32 bytes of the 64-byte area; a missing pointer leaves the length 0.
TEST(ComputeSHA256, DigestLengthAndMissingPointers)
{
    for (Sha256Path path : {SHA256_PATH_PORTABLE, SHA256_PATH_X86_SHA})
        EXPECT_EQ(sha256_force_path(path), (sha256_available_paths() & path) != 0) << path;
    EXPECT_FALSE(sha256_force_path(Sha256Path(SHA256_PATH_PORTABLE | SHA256_PATH_X86_SHA)));
    sha256_select_best_path();
    Bytes out(40, 0xcc);
    uint32_t length = 7;
    for (int missing = 0; missing < 4; ++missing) {
        const uint8_t *abc = missing == 1 ? nullptr : reinterpret_cast<const uint8_t *>("abc");
        EXPECT_EQ(IMGSIGN_computeSHA256(abc, 3, missing == 2 ? nullptr : out.data(),
                                        missing == 3 ? nullptr : &length),
                  missing == 0 ? OK : ERR_NULL_POINTER);
        EXPECT_EQ(length, missing == 0 ? 32u : missing == 3 ? 99u : 0u) << missing;
        length = 99;
    }
    EXPECT_EQ(out,
              from_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015adcccccccccccccccc"));
}

// "<file> <record count>"; each record runs whole and split after a block (the
// IV carries the chain), leaving the last cipher block as IV.
TEST(AesCbc, NistVectors)
{
    for (const std::string file :
         {"GFSbox128 14", "GFSbox192 12", "GFSbox256 10", "KeySbox128 42", "KeySbox192 48", "KeySbox256 32",
          "VarKey128 256", "VarKey192 384", "VarKey256 512", "VarTxt128 256", "VarTxt192 256",
          "VarTxt256 256", "MMT128 20", "MMT192 20", "MMT256 20"}) {
        const auto records = read_vectors("CBC" + file.substr(0, file.find(' ')) + ".rsp", "CIPHERTEXT");
        ASSERT_EQ(records.size(), std::stoul(file.substr(file.find(' ')))) << file;
        for (const auto &r : records) {
            SCOPED_TRACE(file + " " + r.at("section") + " COUNT=" + r.at("COUNT"));
            const int32_t encrypt = r.at("section") == "ENCRYPT";
            const Bytes key = from_hex(r.at("KEY")), pt = from_hex(r.at("PLAINTEXT")),
                        ct = from_hex(r.at("CIPHERTEXT"));
            for (int32_t split : {int32_t(pt.size()), 16}) {
                Bytes data = encrypt ? pt : ct, iv = from_hex(r.at("IV"));
                AESCtx *ctx = CreateAESCtx(key.data(), int32_t(key.size()), encrypt);
                EXPECT_EQ(DoAES(ctx, data.data(), split, encrypt, iv.data()), OK);
                EXPECT_EQ(DoAES(ctx, data.data() + split, int32_t(data.size()) - split, encrypt, iv.data()),
                          OK);
                EXPECT_TRUE(DeleteAESCtx(&ctx) == OK && ctx == nullptr);
                EXPECT_EQ(data + iv, (encrypt ? ct : pt) + Bytes(ct.end() - 16, ct.end()))
                    << "split=" << split;
            }
        }
    }
}

// Refused calls (and empty ones) leave both the buffer and the IV alone; only
// AES key lengths make a context.
TEST(DoAES, RefusedCallsChangeNothing)
{
    const uint8_t key[64] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    for (int32_t bytes : {0, 12, 17, 33, 64})
        EXPECT_EQ(CreateAESCtx(key, bytes, 1), nullptr) << bytes;
    EXPECT_EQ(CreateAESCtx(nullptr, 16, 1), nullptr);
    AESCtx *none = nullptr;
    EXPECT_TRUE(DeleteAESCtx(&none) == OK && DeleteAESCtx(nullptr) == OK);
    enum { NoCtx = 1, NoData = 2, NoIv = 4, CBC = AES_MODE_CBC, Null = ERR_NULL_POINTER };
    enum { Length = ERR_AES_BAD_LENGTH, Direction = ERR_AES_BAD_DIRECTION, Mode = ERR_AES_BAD_MODE };
    const struct {
        int32_t ctxDirection, mode, length, direction, missing, status;
    } cases[] = {{1, CBC, 17, 1, 0, Length},    {1, CBC, -16, 1, 0, Length}, {1, CBC, 32, 0, 0, Direction},
                 {0, CBC, 32, 1, 0, Direction}, {1, 9, 16, 1, 0, Mode},      {0, 9, 16, 0, 0, Direction},
                 {1, CBC, 0, 1, 0, OK},         {1, CBC, 0, 1, NoData, OK},  {1, CBC, 16, 1, NoData, Null},
                 {1, CBC, 16, 1, NoCtx, Null},  {1, CBC, 16, 1, NoIv, Null}};
    for (const auto &c : cases) {
        SCOPED_TRACE(&c - cases);
        AESCtx *ctx = CreateAESCtx(key, 16, c.ctxDirection);
        ctx->mode = c.mode;
        Bytes data(48, 0x33), iv(16, 0x5a);
        EXPECT_EQ(DoAES(c.missing & NoCtx ? nullptr : ctx, c.missing & NoData ? nullptr : data.data(),
                        c.length, c.direction, c.missing & NoIv ? nullptr : iv.data()),
                  c.status);
        EXPECT_EQ(data + iv, Bytes(48, 0x33) + Bytes(16, 0x5a));
        DeleteAESCtx(&ctx);
    }
}

TEST(CryptoInitialize, OnlyFirstCallSeeds)
{
    const uint32_t calls = crypto_init_call_count();
    const uint64_t words = rng_seed_words_read() + (calls == 0 ? 8 : 0);
    for (uint32_t call = 1; call <= 2; ++call) {
        EXPECT_EQ(CRYPTO_initialize(), OK);
        EXPECT_EQ(crypto_init_call_count(), calls + call);
        EXPECT_EQ(rng_seed_words_read(), words);
    }
    EXPECT_TRUE(crypto_global_random() != nullptr && !crypto_strict_mode() && crypto_start_time_us() > 0);
}

// Eight words are read and every seed bit counts, also in a pool short of full;
// a short or missing file is refused.
TEST(RandomSeeding, DeviceReads)
{
    const std::string path = testing::TempDir() + "csym-seed";
    std::vector<Bytes> outputs;
    for (const auto &[size, last] : {std::pair{40, 0}, {32, 0}, {32, 0x80}, {31, 0}, {0, 0}}) {
        Bytes seed(size, 0xA5);
        for (size_t i = 0; i < seed.size(); ++i)
            seed[i] = uint8_t(i < 31 ? i * 37 + 5 : last);
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(seed.data()), size);
        RandomCtx *rng = rng_create();
        EXPECT_EQ(rng_seed_from_device(rng, path.c_str()), size >= 32 ? OK : ERR_RAND_SHORT_READ) << size;
        for (int twice = 0; twice < 2; ++twice) // the stream moves on
            outputs.emplace_back(48), rng_generate(rng, outputs.back().data(), 48);
        rng_release(&rng);
        EXPECT_EQ(rng, nullptr);
    }
    std::remove(path.c_str());
    EXPECT_EQ(outputs[0], outputs[2]); // bytes past the eighth word are not read
    EXPECT_EQ(std::set<Bytes>(outputs.begin() + 2, outputs.end()).size(), 8u);
    RandomCtx *rng = rng_create();
    EXPECT_EQ(rng_seed_from_device(rng, "/nonexistent/urandom"), ERR_RAND_OPEN);
    rng_release(&rng);
    rng_release(&rng);
    rng_release(nullptr);
}

} // namespace
