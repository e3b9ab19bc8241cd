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

// With each path forced: the check values, then every length to 300 (all tail
// and block boundaries) and random ones to 5000, at every alignment, with
// random seeds. Then the sums over a component's pieces,
// however the pieces fall: CRC from offset 4, SHA-256 of the signed range only.
TEST(Crc32, EveryPathAndEveryPieceMatchTheDefinition)
{
    std::mt19937 rng(42);
    std::vector<uint8_t> buf(100'011 + 16);
    for (auto &b : buf)
        b = static_cast<uint8_t>(rng());
    std::vector<uint32_t> lengths(501);
    for (uint32_t i = 0; i < lengths.size(); i++)
        lengths[i] = i <= 300 ? i : rng() % 5001;
    const Crc32Path before = crc32_active_path();
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
    }
    ASSERT_TRUE(crc32_force_path(before));

    std::vector<uint8_t> c(buf.begin(), buf.begin() + 100'011);
    store_be32(&c[4], static_cast<uint32_t>(c.size() - 16));
    store_be32(&c[16], HDR3_MARKER);
    store_be16(&c[22], 286);
    const SignedRange range = signed_range(std::span<const uint8_t, 24>(c.data(), 24), c.size());
    ASSERT_TRUE(range.present && range.from == 286 && range.to == c.size());
    uint8_t sha[32];
    sha256(&c[286], c.size() - 286, sha);
    for (size_t piece : {size_t(1), size_t(3), size_t(285), size_t(4099), c.size()}) {
        ComponentScan scan;
        scan_begin(scan, range);
        for (size_t at = 0; at < c.size(); at += piece)
            scan_update(scan, &c[at], std::min(piece, c.size() - at));
        ComponentRead read;
        scan_finish(scan, read);
        EXPECT_EQ(read.crc, crc_bitwise(&c[4], c.size() - 4, CRC_SEED)) << piece;
        EXPECT_TRUE(read.hashed && memcmp(read.digest.bytes, sha, 32) == 0) << piece;
    }
}

} // namespace
