#include "crypto/support.h"
#include "security/crypto/crypto_init.h"
#include "security/crypto/random.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(CryptoInitialize, OnlyFirstCallSeeds)
{
    const uint32_t callsBefore = crypto_init_call_count();
    const uint64_t wordsBefore = rng_seed_words_read();
    EXPECT_EQ(CRYPTO_initialize(), OK);
    if (callsBefore == 0) {
        EXPECT_EQ(rng_seed_words_read(), wordsBefore + 8);
        EXPECT_NE(crypto_global_random(), nullptr);
        EXPECT_FALSE(crypto_strict_mode());
        EXPECT_GT(crypto_start_time_us(), 0u);
    }
    const uint64_t wordsAfterFirst = rng_seed_words_read();
    EXPECT_EQ(CRYPTO_initialize(), OK);
    EXPECT_EQ(rng_seed_words_read(), wordsAfterFirst);
    EXPECT_EQ(crypto_init_call_count(), callsBefore + 2);
}

Bytes output_of(RandomCtx *rng)
{
    Bytes out(48);
    rng_generate(rng, out.data(), out.size());
    return out;
}

// A seed file must act as its words fed in least significant bit first; a short
// or missing file is refused.
TEST(RandomSeeding, DeviceReadsAndBitOrder)
{
    Bytes seed(40, 0xee);
    for (size_t i = 0; i < 32; ++i)
        seed[i] = uint8_t(i * 37 + 5);
    const std::string path = testing::TempDir() + "csym-seed";
    for (const auto &[fileBytes, status] :
         {std::pair{40, OK}, {32, OK}, {31, ERR_RAND_SHORT_READ}, {0, ERR_RAND_SHORT_READ}}) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(seed.data()), fileBytes);
        RandomCtx *rng = rng_create(), *lsbFirst = rng_create(), *msbFirst = rng_create();
        ASSERT_EQ(rng_seed_from_device(rng, path.c_str()), status) << fileBytes;
        for (size_t bit = 0; bit < 256; ++bit) {
            uint32_t word;
            std::memcpy(&word, seed.data() + 4 * (bit / 32), 4);
            rng_add_entropy_bit(lsbFirst, (word >> (bit % 32)) & 1u);
            rng_add_entropy_bit(msbFirst, (word >> (31 - bit % 32)) & 1u);
        }
        const Bytes expected = output_of(lsbFirst);
        EXPECT_EQ(output_of(rng) == expected, status == OK);
        EXPECT_NE(output_of(msbFirst), expected);
        for (RandomCtx *r : {rng, lsbFirst, msbFirst})
            rng_release(&r);
    }
    std::remove(path.c_str());
    RandomCtx *rng = rng_create();
    EXPECT_EQ(rng_seed_from_device(rng, "/nonexistent/urandom"), ERR_RAND_OPEN);
    rng_release(&rng);
    EXPECT_EQ(rng, nullptr);
    rng_release(&rng); // nothing left to release
    rng_release(nullptr);
}

TEST(RandomGenerator, StreamMovesOnAndDependsOnEveryBit)
{
    RandomCtx *a = rng_create(), *b = rng_create(), *empty = rng_create();
    for (int i = 0; i < 255; ++i) {
        rng_add_entropy_bit(a, uint32_t(i % 3 == 0));
        rng_add_entropy_bit(b, uint32_t(i % 3 == 0) ^ uint32_t(i == 200));
    }
    // 255 bits: a pool short of full must still be folded in before output.
    const Bytes first = output_of(a);
    EXPECT_NE(output_of(a), first);
    EXPECT_NE(output_of(b), first);
    EXPECT_NE(output_of(empty), first);
    for (RandomCtx *r : {a, b, empty})
        rng_release(&r);
}

} // namespace
