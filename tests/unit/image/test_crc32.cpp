#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "image/component_read.h"
#include "image/crc32.h"
#include "image/image_format.h"

namespace {

uint32_t crc_bitwise(const uint8_t *p, size_t n, uint32_t crc)
{
    for (; n--; p++)
        for (int i = 0; i < 8; i++)
            crc = ((crc ^ (*p >> i)) & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    return crc;
}

std::vector<uint8_t> random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

// With each path forced: the check values, then every length to 300 (all tail
// and block boundaries), random ones to 5000 and one of 3 MiB, at every
// alignment, with random seeds.
TEST(Crc32, EveryPathMatchesTheBitwiseDefinition)
{
    const std::vector<uint8_t> buf = random_bytes((3u << 20) + 16, 42);
    std::mt19937 rng(1);
    std::vector<uint32_t> lengths(501);
    for (uint32_t i = 0; i < lengths.size(); i++)
        lengths[i] = i <= 300 ? i : rng() % 5001;
    const Crc32Path before = crc32_active_path();
    EXPECT_TRUE(crc32_path_available(before));
    const auto *text = reinterpret_cast<const uint8_t *>("123456789");
    for (Crc32Path path : {Crc32Path::Portable, Crc32Path::Pclmul, Crc32Path::Vpclmul256}) {
        if (!crc32_force_path(path)) {
            EXPECT_FALSE(crc32_path_available(path));
            continue;
        }
        EXPECT_EQ(crc32_active_path(), path);
        EXPECT_EQ(image_crc32(text, 9, 0xFFFFFFFF), 0x340BC6D9u);
        EXPECT_EQ(image_crc32(text, 0, 0x12345678), 0x12345678u);
        for (uint32_t align = 0; align < 16; align++)
            for (uint32_t n : lengths) {
                const uint32_t seed = rng();
                ASSERT_EQ(image_crc32(&buf[align], n, seed), crc_bitwise(&buf[align], n, seed))
                    << "path " << int(path) << " len " << n << " align " << align;
            }
        EXPECT_EQ(image_crc32(&buf[3], 3u << 20, ~0u), crc_bitwise(&buf[3], 3u << 20, ~0u)) << int(path);
    }
    crc32_force_path(before);
}

// Sums over pieces, however the pieces fall, equal the sums over the whole:
// CRC from offset 4, SHA-256 of the signed range only, zero-run shifts.
TEST(Crc32, PiecesAndZeroRunsEqualOneShot)
{
    std::vector<uint8_t> c = random_bytes(100'011, 7);
    store_be32(&c[4], static_cast<uint32_t>(c.size() - 16));
    store_be32(&c[16], HDR3_MARKER);
    store_be16(&c[22], 286);
    const SignedRange range = signed_range(std::span<const uint8_t, 24>(c.data(), 24), c.size());
    ASSERT_TRUE(range.present && range.from == 286 && range.to == c.size());
    const uint32_t crc = image_crc32(&c[4], static_cast<uint32_t>(c.size() - 4), CRC_SEED);
    uint8_t sha[32];
    sha256(&c[286], c.size() - 286, sha);
    for (size_t piece : {size_t(1), size_t(3), size_t(285), size_t(4099), c.size()}) {
        ComponentScan scan;
        scan_begin(scan, range);
        for (size_t at = 0; at < c.size(); at += piece)
            scan_update(scan, &c[at], std::min(piece, c.size() - at));
        ComponentRead read;
        scan_finish(scan, read);
        EXPECT_TRUE(read.crc == crc && read.hashed && memcmp(read.digest.bytes, sha, 32) == 0) << piece;
        const size_t split = std::min(piece, c.size() - 4) - 1;
        const uint32_t head = image_crc32(&c[4], static_cast<uint32_t>(split), CRC_SEED);
        const uint32_t tail = image_crc32(&c[4 + split], static_cast<uint32_t>(c.size() - 4 - split), 0);
        EXPECT_EQ(image_crc32_zeros(head, c.size() - 4 - split) ^ tail, crc) << split;
    }
}

} // namespace
