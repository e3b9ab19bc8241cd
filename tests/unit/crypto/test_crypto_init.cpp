#include "crypto/support.h"
#include "security/crypto/crypto_init.h"
#include "security/crypto/random.h"

#include <gtest/gtest.h>

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

// A seed file acts as its first eight words fed in least significant bit first,
// and every bit counts; a short or missing file is refused.
TEST(RandomSeeding, DeviceReadsAndBitOrder)
{
    Bytes seed(40, 0xee);
    for (size_t i = 0; i < 32; ++i)
        seed[i] = uint8_t(i * 37 + 5);
    const std::string path = testing::TempDir() + "csym-seed";
    std::vector<Bytes> outputs;
    for (const auto &[size, status] :
         {std::pair{40, OK}, {32, OK}, {31, ERR_RAND_SHORT_READ}, {0, ERR_RAND_SHORT_READ}}) {
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(seed.data()), size);
        RandomCtx *rng = rng_create(), *lsbFirst = rng_create(), *msbFirst = rng_create();
        EXPECT_EQ(rng_seed_from_device(rng, path.c_str()), status) << size;
        for (size_t bit = 0; bit < 256; ++bit) {
            uint32_t word;
            std::memcpy(&word, seed.data() + 4 * (bit / 32), 4);
            rng_add_entropy_bit(lsbFirst, (word >> (bit % 32)) & 1u);
            rng_add_entropy_bit(msbFirst, (word >> (31 - bit % 32)) & 1u);
        }
        const Bytes expected = output_of(lsbFirst);
        outputs.push_back(output_of(rng));
        EXPECT_EQ(outputs.back() == expected, status == OK) << size;
        EXPECT_NE(output_of(lsbFirst), expected); // the stream moves on
        EXPECT_NE(output_of(msbFirst), expected);
        for (RandomCtx *r : {rng, lsbFirst, msbFirst})
            rng_release(&r);
    }
    std::remove(path.c_str());
    EXPECT_NE(outputs[2], outputs[3]); // seven words short of a full pool still count
    RandomCtx *rng = rng_create();
    EXPECT_EQ(rng_seed_from_device(rng, "/nonexistent/urandom"), ERR_RAND_OPEN);
    rng_release(&rng);
    EXPECT_EQ(rng, nullptr);
    rng_release(&rng);
    rng_release(nullptr);
}

} // namespace
