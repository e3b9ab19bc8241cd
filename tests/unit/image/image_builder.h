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

inline Bytes be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
inline Bytes be32(uint32_t v)
{
    return cat({be16(static_cast<uint16_t>(v >> 16)), be16(static_cast<uint16_t>(v))});
}
inline Bytes entry(uint16_t tag, const Bytes &value)
{
    return cat({be16(tag), be16(uint16_t(4 + value.size())), value});
}
inline Bytes signature_entry(const Bytes &sig)
{
    return entry(TAG_SIGNATURE, cat({be16(uint16_t(sig.size())), sig}));
}

inline Bytes filler(size_t n, uint8_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(seed + i * 31);
    return b;
}

inline void refresh_crc(Bytes &c)
{
    store_be32(&c[0], image_crc32(c.data() + 4, static_cast<uint32_t>(c.size() - 4), CRC_SEED));
}

// A whole component with a correct CRC; entries only for HDR3, extHdrlen (>= 20) only for format 2.
inline Bytes make_component(uint8_t format, uint32_t magic, const Bytes &payload, const Bytes &entries = {},
                            uint16_t extHdrlen = 32)
{
    Bytes rest;
    if (format == FORMAT_EXTENDED) {
        magic |= EXTENDED_HEADER_FLAG;
        rest = cat({be16(0xEEEE), be16(extHdrlen), Bytes(extHdrlen - 20u, 0xEE)});
    } else if (format == FORMAT_HDR3) {
        rest = cat({be32(HDR3_MARKER), be16(0xEEEE), be16(uint16_t(24 + entries.size())), entries});
    }
    const uint32_t len =
        static_cast<uint32_t>(format == FORMAT_HDR3 ? rest.size() + payload.size() : payload.size());
    Bytes c = cat({be32(0), be32(len), be32(magic), be32(0x01020304), rest, payload});
    refresh_crc(c);
    return c;
}
