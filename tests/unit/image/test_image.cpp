#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <vector>

#include "image/component_read.h"
#include "image/installer.h"
#include "image_builder.h"
#include "loader/board_fixture.h"

namespace {

namespace CT = ComponentType;

uint32_t crc_bitwise(const uint8_t *p, size_t n, uint32_t crc)
{
    for (; n--; p++)
        for (int i = 0; i < 8; i++)
            crc = ((crc ^ (*p >> i)) & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    return crc;
}

// Each path: every length to 300 (all tail and block boundaries), random ones to 5000, every alignment.
// Then the sums over a component's pieces: CRC from offset 4, SHA-256 of the signed range only.
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

TEST(EntryWalk, WellFormedAndMalformedHeaders)
{
    const Bytes sig_a = filler(16, 5);
    auto header = [](const Bytes &entries) {
        return cat({Bytes(16, 0), be32(HDR3_MARKER), be32(0), entries});
    };
    const Bytes good =
        header(cat({entry(TAG_TYPE, be32(CT::DIAGNOSTICS)), entry(9, {}), signature_entry(sig_a)}));
    // The last signature entry has no room for its length field.
    const Bytes broken = header(cat({signature_entry(sig_a), be16(TAG_SIGNATURE), be16(5), Bytes(1, 0)}));
    // Length 2: the next entry starts at this one's length field.
    const Bytes short_head = header({0, 8, 0, 2, 0, 4, 0, 6, 0, 8, 1, 2, 3, 4});
    Bytes siglen_past = header(signature_entry(sig_a));
    store_be16(&siglen_past[28], 17);
    using S = EntryWalkStatus;
    struct {
        const char *name;
        Bytes header;
        uint32_t hdrlen; // past the buffer: its end counts
        std::vector<uint16_t> tags;
        EntryWalkStatus end;
        const Bytes *signature;
    } cases[] = {
        {"type, other, signature", good, 0xFFFF, {6, 9, 3}, S::End, &sig_a},
        {"last signature broken", broken, 0xFFFF, {3, 3}, S::End, nullptr},
        {"signature length past its entry", siglen_past, 0xFFFF, {3}, S::End, nullptr},
        {"hdrlen cuts an entry head", good, 24 + 8 + 2, {6}, S::Overrun, nullptr},
        {"buffer shorter than 24", Bytes(10, 0), 100, {}, S::End, nullptr},
        {"entry shorter than its head", short_head, 0xFFFF, {8, 2, 6}, S::End, nullptr},
    };
    for (auto &c : cases) {
        const Bytes exact = c.header; // allocated at its size, so ASan sees any read past it
        const std::span<const uint8_t> buf(exact);
        EntryWalk walk = entry_walk_begin(buf, c.hdrlen);
        std::vector<uint16_t> tags;
        HeaderEntry e;
        EntryWalkStatus status;
        while ((status = entry_walk_next(walk, e)) == EntryWalkStatus::Entry)
            tags.push_back(e.tag);
        EXPECT_EQ(tags, c.tags) << c.name;
        EXPECT_EQ(status, c.end) << c.name;
        std::span<const uint8_t> sig;
        ASSERT_EQ(find_signature_entry(buf, c.hdrlen, sig), c.signature != nullptr) << c.name;
        EXPECT_EQ(Bytes(sig.begin(), sig.end()), c.signature ? *c.signature : Bytes{}) << c.name;
    }
}

TEST(FindBootComponent, Packages)
{
    using CT::APPLICATION, CT::DIAGNOSTICS, CT::KERNEL;
    const Bytes rfs = make_component(FORMAT_EXTENDED, CT::RFS, filler(50, 2));
    const Bytes app = make_component(FORMAT_PLAIN, APPLICATION, filler(500, 3));
    const Bytes ext_app = make_component(FORMAT_EXTENDED, APPLICATION, filler(64, 4));
    // A type entry too short or without the type signature is passed over.
    const Bytes types =
        cat({entry(TAG_TYPE, {1, 2}), entry(TAG_TYPE, be32(0x01000000)), entry(TAG_TYPE, be32(APPLICATION))});
    const Bytes kernel_as_app = make_component(FORMAT_HDR3, KERNEL, filler(10, 7), types);
    Bytes zero_entry = make_component(FORMAT_HDR3, APPLICATION, filler(10, 9),
                                      cat({entry(TAG_TYPE, {}), entry(TAG_TYPE, be32(DIAGNOSTICS))}));
    store_be16(&zero_entry[26], 0);
    refresh_crc(zero_entry);
    // The HDR3 marker wins over bit 31, also when it is only the start of a plain payload.
    const Bytes marked = make_component(FORMAT_PLAIN, APPLICATION | EXTENDED_HEADER_FLAG,
                                        cat({be32(HDR3_MARKER), be32(30), filler(32, 2)}));
    // Extended header of 16 bytes: 20 bytes in all, with its hdrlen field in the payload.
    const Bytes app_20 =
        cat({be32(0), be32(4), be32(APPLICATION | EXTENDED_HEADER_FLAG), be32(0), be32(16), Bytes(8)});
    const Bytes zero_length = cat({be32(0), be32(0xFFFFFFF0), be32(KERNEL), Bytes(12)});
    Bytes hdr3_past_eof = make_component(FORMAT_HDR3, KERNEL, {}, entry(TAG_TYPE, be32(APPLICATION)));
    store_be16(&hdr3_past_eof[22], 4000);
    const struct {
        const char *name, *printed;
        Bytes package;
        size_t start;
        uint32_t type, lastMagic, format, headerLength, payloadLength; // format 0: not found
    } cases[] = {
        {"rfs, ext app", "", cat({rfs, ext_app}), rfs.size(), APPLICATION, APPLICATION | EXTENDED_HEADER_FLAG,
         2, 32, 64},
        {"unsigned type entry", "", kernel_as_app, 0, APPLICATION, KERNEL, 3, 46, 10},
        {"zero length entry", "Image header error\n", zero_entry, 0, APPLICATION, APPLICATION, 3, 36, 10},
        {"marker over bit 31", "", marked, 0, APPLICATION, APPLICATION | EXTENDED_HEADER_FLAG, 3, 30, 26},
        {"boot component of 20", "", app_20, 0, 0, APPLICATION | EXTENDED_HEADER_FLAG, 0, 0, 0},
        {"zero length", "", cat({zero_length, app}), 0, 0, KERNEL, 0, 0, 0},
        {"hdr3 header past the end", "", hdr3_past_eof, 0, 0, KERNEL, 0, 0, 0},
    };
    for (const auto &c : cases) {
        std::unique_ptr<FILE, int (*)(FILE *)> f(tmpfile(), fclose);
        ASSERT_TRUE(f);
        fwrite(c.package.data(), 1, c.package.size(), f.get());
        fseek(f.get(), 7, SEEK_SET);
        BootComponent bc{};
        bc.lastMagic = 0xDEADBEEF;
        ::testing::internal::CaptureStdout();
        const bool found = find_boot_component(f.get(), bc);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed) << c.name;
        EXPECT_EQ(bc.lastMagic, c.lastMagic) << c.name;
        ASSERT_EQ(found, c.format != 0) << c.name;
        EXPECT_TRUE(!found ||
                    (bc.type == c.type && ftell(f.get()) == long(c.start) && bc.format == c.format &&
                     bc.headerLength == c.headerLength && bc.payloadLength == c.payloadLength &&
                     memcmp(bc.header, c.package.data() + c.start, IMAGE_HEADER_SIZE) == 0))
            << c.name;
    }
}

TEST(WriteFileWithProgress, TinyFileFullDeviceAndMissingPackage)
{
    char dir[] = "/tmp/imgl-wfp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/out";
    const Bytes data = filler(300, 7);
    Console console;
    EXPECT_EQ(write_file_with_progress(path.c_str(), data.data(), 1), 1); // under one 256-byte block
    EXPECT_EQ(write_file_with_progress("/dev/full", data.data(), 300), 0);
    EXPECT_EQ(install_package("/nonexistent-dir/pkg", 1, 0), 0); // ends before anything is made
    EXPECT_EQ(console.text(),
              "    \b\b\b\b100%\b\b\b\b100%\n"
              "    File /dev/full write failed (err 28: bytes_written 0, len 300, wr_len 300)\n"
              "Cannot open /nonexistent-dir/pkg: No such file or directory\n");
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), Bytes(1, data[0]));
    std::filesystem::remove_all(dir);
}

// No partition open: what cannot be read reads as all zero.
TEST(InstalledHeader, WhatReadsAsNothing)
{
    auto read = [](uint32_t type, int slot) {
        Bytes header(IMAGE_HEADER_SIZE, 0x5A);
        const int result = read_installed_header(type, header.data(), slot);
        return header == Bytes(IMAGE_HEADER_SIZE, 0) ? result : -1;
    };
    Console console;
    EXPECT_EQ(read(ComponentType::KERNEL, 1), 1);
    EXPECT_EQ(read(ComponentType::NOS_APPLICATION, 1), 0);
    EXPECT_EQ(read(ComponentType::APPLICATION, 0), 0); // no such slot
    EXPECT_EQ(console.text(), "Could not get MTD device info \n");
    EXPECT_EQ(read_installed_header(ComponentType::KERNEL, nullptr, 1), 0);
}

} // namespace
