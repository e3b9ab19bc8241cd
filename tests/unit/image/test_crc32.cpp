#include <gtest/gtest.h>

#include <numeric>
#include <random>
#include <vector>

#include "image/crc32.h"

namespace {

uint32_t crc_bitwise(const uint8_t *p, size_t n, uint32_t crc)
{
    for (; n--; p++)
        for (int i = 0; i < 8; i++)
            crc = ((crc ^ (*p >> i)) & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    return crc;
}

const std::pair<Crc32Path, uint32_t (*)(const uint8_t *, uint32_t, uint32_t)> allPaths[] = {
    {Crc32Path::Portable, image_crc32_portable},
#if defined(IMGL_HAVE_X86_CRC)
    {Crc32Path::Pclmul, image_crc32_pclmul},
    {Crc32Path::Vpclmul256, image_crc32_vpclmul256},
#endif
};

// Every length to 300 (all tail and block boundaries), random ones to 5000 and
// one of 3 MiB, at every alignment, with random seeds.
TEST(Crc32, EveryPathMatchesBitwiseDefinition)
{
    std::mt19937 rng(42);
    std::vector<uint8_t> buf((3u << 20) + 16);
    for (auto &b : buf)
        b = static_cast<uint8_t>(rng());
    std::vector<uint32_t> lengths(301);
    std::iota(lengths.begin(), lengths.end(), 0);
    for (int i = 0; i < 200; i++)
        lengths.push_back(rng() % 5001);
    for (auto [path, fn] : allPaths) {
        if (!crc32_path_available(path)) {
            printf("path %d: not on this CPU, skipped\n", int(path));
            continue;
        }
        for (uint32_t align = 0; align < 16; align++) {
            for (uint32_t n : lengths) {
                const uint32_t seed = rng();
                ASSERT_EQ(fn(&buf[align], n, seed), crc_bitwise(&buf[align], n, seed))
                    << "path " << int(path) << " len " << n << " align " << align;
            }
        }
        EXPECT_EQ(fn(&buf[3], 3u << 20, 0xFFFFFFFF), crc_bitwise(&buf[3], 3u << 20, 0xFFFFFFFF)) << int(path);
    }
}

TEST(Crc32, CheckValuesThroughEachForcedPath)
{
    const Crc32Path before = crc32_active_path();
    EXPECT_TRUE(crc32_path_available(before));
    const auto *text = reinterpret_cast<const uint8_t *>("123456789");
    for (auto [path, fn] : allPaths) {
        const bool available = crc32_path_available(path);
        ASSERT_EQ(crc32_force_path(path), available);
        EXPECT_EQ(crc32_active_path() == path, available);
        EXPECT_EQ(image_crc32(text, 9, 0xFFFFFFFF), 0x340BC6D9u);
        EXPECT_EQ(image_crc32(reinterpret_cast<const uint8_t *>("abc"), 3, 0xFFFFFFFF), 0xCADBBE3Du);
        EXPECT_EQ(image_crc32(text, 0, 0x12345678), 0x12345678u);
    }
    crc32_force_path(before);
}

} // namespace
