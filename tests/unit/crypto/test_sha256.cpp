#include "crypto/support.h"
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

// Streamed in pieces of every awkward size for the 64-byte buffer (partial,
// exact, straddling blocks), the digest must not change.
TEST_P(Sha256Path_, NistVectorsWholeAndInPieces)
{
    for (const auto &[file, count] : {std::pair{"SHA256ShortMsg.rsp", 65u}, {"SHA256LongMsg.rsp", 64u}}) {
        const auto records = read_rsp(file);
        ASSERT_EQ(records.size(), count) << file;
        for (const auto &r : records) {
            Bytes msg = from_hex(r.at("Msg")), md(32);
            msg.resize(std::stoul(r.at("Len")) / 8); // Len = 0 carries a placeholder byte
            sha256(msg.data(), msg.size(), md.data());
            EXPECT_EQ(md, from_hex(r.at("MD"))) << file << " Len=" << r.at("Len");
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

INSTANTIATE_TEST_SUITE_P(AllPaths, Sha256Path_, testing::Values(SHA256_PATH_PORTABLE, SHA256_PATH_X86_SHA),
                         [](const testing::TestParamInfo<Sha256Path> &info) {
                             return info.param == SHA256_PATH_PORTABLE ? "portable" : "x86_sha";
                         });

// The digest lands in the first 32 bytes of the 64-byte area; a missing pointer
// leaves the length 0. Only one path, and one the CPU has, can be forced.
TEST(ComputeSHA256, DigestLengthAndMissingPointers)
{
    for (Sha256Path path : {SHA256_PATH_PORTABLE, SHA256_PATH_X86_SHA})
        EXPECT_EQ(sha256_force_path(path), (sha256_available_paths() & path) != 0) << path;
    EXPECT_FALSE(sha256_force_path(Sha256Path(SHA256_PATH_PORTABLE | SHA256_PATH_X86_SHA)));
    sha256_select_best_path();
    const uint8_t abc[] = {'a', 'b', 'c'};
    Bytes out(40, 0xcc), want = from_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    want.resize(40, 0xcc);
    uint32_t length = 7;
    ASSERT_EQ(IMGSIGN_computeSHA256(abc, 3, out.data(), &length), OK);
    EXPECT_EQ(length, 32u);
    EXPECT_EQ(out, want);
    for (int missing = 0; missing < 3; ++missing) {
        length = 99;
        EXPECT_EQ(IMGSIGN_computeSHA256(missing == 0 ? nullptr : abc, 3, missing == 1 ? nullptr : out.data(),
                                        missing == 2 ? nullptr : &length),
                  ERR_NULL_POINTER);
        EXPECT_EQ(length, missing == 2 ? 99u : 0u) << missing;
    }
}

} // namespace
