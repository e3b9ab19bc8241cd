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
    Bytes out(40, 0xcc),
        want = from_hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015adcccccccccccccccc");
    uint32_t length = 7;
    for (int missing = 0; missing < 4; ++missing) {
        const uint8_t *abc = missing == 1 ? nullptr : reinterpret_cast<const uint8_t *>("abc");
        EXPECT_EQ(IMGSIGN_computeSHA256(abc, 3, missing == 2 ? nullptr : out.data(),
                                        missing == 3 ? nullptr : &length),
                  missing == 0 ? OK : ERR_NULL_POINTER);
        EXPECT_EQ(length, missing == 0 ? 32u : missing == 3 ? 99u : 0u) << missing;
        length = 99;
    }
    EXPECT_EQ(out, want);
}

} // namespace
