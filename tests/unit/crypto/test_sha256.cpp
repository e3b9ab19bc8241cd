#include "crypto/support.h"
#include "security/crypto/crypto.h"
#include "security/crypto/sha256.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

Bytes message_of(const RspRecord &r)
{
    Bytes msg = from_hex(r.fields.at("Msg"));
    msg.resize(std::stoul(r.fields.at("Len")) / 8); // Len = 0 carries a placeholder byte
    return msg;
}

Bytes one_shot(const Bytes &msg)
{
    Bytes md(32);
    sha256(msg.data(), msg.size(), md.data());
    return md;
}

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

TEST_P(Sha256Path_, NistByteVectors)
{
    const struct {
        const char *file;
        size_t count;
    } files[] = {{"SHA256ShortMsg.rsp", 65}, {"SHA256LongMsg.rsp", 64}};
    for (const auto &f : files) {
        auto records = read_rsp(f.file);
        ASSERT_EQ(records.size(), f.count) << f.file;
        for (const auto &r : records)
            EXPECT_EQ(one_shot(message_of(r)), from_hex(r.fields.at("MD")))
                << f.file << " Len=" << r.fields.at("Len");
    }
}

// Feeding in pieces must not matter, whatever the piece size does to the
// internal buffer (partial fills, exact fills, straddling several blocks).
TEST_P(Sha256Path_, StreamingSplitsMatchVectors)
{
    auto records = read_rsp("SHA256LongMsg.rsp");
    ASSERT_FALSE(records.empty());
    const size_t chunkSizes[] = {1, 3, 55, 56, 63, 64, 65, 127, 200};
    for (size_t recordIndex : {size_t(0), size_t(7), records.size() - 1}) {
        const auto &r = records[recordIndex];
        auto msg = message_of(r);
        for (size_t chunk : chunkSizes) {
            Sha256Ctx ctx;
            sha256_init(&ctx);
            for (size_t off = 0; off < msg.size(); off += chunk)
                sha256_update(&ctx, msg.data() + off, std::min(chunk, msg.size() - off));
            Bytes md(32);
            sha256_final(&ctx, md.data());
            EXPECT_EQ(md, from_hex(r.fields.at("MD"))) << "Len=" << r.fields.at("Len") << " chunk=" << chunk;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Sha256Path_, testing::Values(SHA256_PATH_PORTABLE, SHA256_PATH_X86_SHA),
                         [](const testing::TestParamInfo<Sha256Path> &info) {
                             return info.param == SHA256_PATH_PORTABLE ? "portable" : "x86_sha";
                         });

// The digest lands in the first 32 bytes only, even though a 64-byte scratch
// area is used; an empty region is the empty string. A missing pointer leaves
// the length 0.
TEST(ComputeSHA256, DigestLengthAndMissingPointers)
{
    // Only a path the CPU has can be chosen (the coverage run has one without the x86 one).
    for (Sha256Path path : {SHA256_PATH_PORTABLE, SHA256_PATH_X86_SHA})
        EXPECT_EQ(sha256_force_path(path), (sha256_available_paths() & path) != 0) << path;
    sha256_select_best_path();
    const struct {
        std::string input;
        const char *digest;
    } cases[] = {{"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
                 {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}};
    for (const auto &c : cases) {
        Bytes out(40, 0xcc), want = from_hex(c.digest);
        want.resize(40, 0xcc);
        uint32_t length = 7;
        const auto *data = reinterpret_cast<const uint8_t *>(c.input.c_str());
        ASSERT_EQ(IMGSIGN_computeSHA256(data, c.input.size(), out.data(), &length), OK);
        EXPECT_EQ(length, 32u);
        EXPECT_EQ(out, want) << '"' << c.input << '"';
        for (int missing = 0; missing < 3; ++missing) {
            length = 99;
            EXPECT_EQ(IMGSIGN_computeSHA256(missing == 0 ? nullptr : data, c.input.size(),
                                            missing == 1 ? nullptr : out.data(),
                                            missing == 2 ? nullptr : &length),
                      ERR_NULL_POINTER);
            EXPECT_EQ(length, missing == 2 ? 99u : 0u) << missing;
        }
    }
}

} // namespace
