// Components and packages laid out byte by byte, as an image writer does.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "image/crc32.h"
#include "image/image_format.h"

using Bytes = std::vector<uint8_t>;

// resize + copy, not insert: g++ 12 -O3 warns falsely about insert (-Warray-bounds).
inline Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts) {
        const size_t at = out.size();
        out.resize(at + p.size());
        std::copy(p.begin(), p.end(), out.begin() + static_cast<long>(at));
    }
    return out;
}

inline Bytes be16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes entry(uint16_t tag, const Bytes &v) { return cat({be16(tag), be16(uint16_t(4 + v.size())), v}); }
inline Bytes signature_entry(const Bytes &s)
{
    return entry(TAG_SIGNATURE, cat({be16(uint16_t(s.size())), s}));
}

inline Bytes filler(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = uint8_t(seed + i * 31);
    return b;
}

inline void refresh_crc(Bytes &c)
{
    store_be32(&c[0], image_crc32(c.data() + 4, static_cast<uint32_t>(c.size() - 4), CRC_SEED));
}

// A whole component with a correct CRC; entries only for HDR3, an extended header of 32 bytes.
inline Bytes make_component(uint8_t format, uint32_t magic, const Bytes &payload, const Bytes &entries = {})
{
    Bytes rest;
    if (format == FORMAT_EXTENDED) {
        magic |= EXTENDED_HEADER_FLAG;
        rest = cat({be16(0xEEEE), be16(32), Bytes(12, 0xEE)});
    } else if (format == FORMAT_HDR3) {
        rest = cat({be32(HDR3_MARKER), be16(0xEEEE), be16(uint16_t(24 + entries.size())), entries});
    }
    const auto len = static_cast<uint32_t>(payload.size() + (format == FORMAT_HDR3 ? rest.size() : 0));
    Bytes c = cat({be32(0), be32(len), be32(magic), be32(0x01020304), rest, payload});
    refresh_crc(c);
    return c;
}
