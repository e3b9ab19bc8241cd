// Components (header + payload) and image packages (components back to back):
// header formats, component types, HDR3 header entries, and the readers that
// find the boot component and the installed headers.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "hw/flash.h"

// Scoped: the flash partitions already use UBOOT, KERNEL and RFS as names.
namespace ComponentType {
inline constexpr uint32_t APPLICATION = 0x01677279;
inline constexpr uint32_t UBOOT = 0x02677279;
inline constexpr uint32_t KERNEL = 0x03677279;
inline constexpr uint32_t RFS = 0x04677279;
inline constexpr uint32_t DFT = 0x05677279;
inline constexpr uint32_t DIAGNOSTICS = 0x06677279;
inline constexpr uint32_t NOS_APPLICATION = 0x08677279;
} // namespace ComponentType

inline constexpr uint32_t TYPE_SIGNATURE = 0x00677279;
inline constexpr uint32_t TYPE_SIGNATURE_MASK = 0x00FFFFFF;
inline constexpr uint32_t EXTENDED_HEADER_FLAG = 0x80000000;
inline constexpr uint32_t HDR3_MARKER = 0x48445233; // "HDR3"

inline constexpr uint16_t TAG_SIGNATURE = 3;
inline constexpr uint16_t TAG_TYPE = 6;

inline constexpr uint8_t FORMAT_PLAIN = 1;
inline constexpr uint8_t FORMAT_EXTENDED = 2;
inline constexpr uint8_t FORMAT_HDR3 = 3;

inline constexpr uint32_t IMAGE_HEADER_SIZE = 16;    // crc, len, magic, id
inline constexpr uint32_t COMPONENT_PROBE_SIZE = 24; // what a reader reads first
inline constexpr uint32_t HDR3_ENTRIES_OFFSET = 24;
inline constexpr uint32_t CRC_OFFSET = 4; // the CRC covers the component from here
inline constexpr uint32_t CRC_SEED = 0xFFFFFFFF;

inline uint16_t load_be16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t load_be32(const uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}
inline void store_be16(uint8_t *p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void store_be32(uint8_t *p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// The first 16 bytes of a component, decoded.
struct ImageHeader {
    uint32_t crc;
    uint32_t len;
    uint32_t magic;
    uint32_t id;
};

ImageHeader decode_image_header(std::span<const uint8_t, IMAGE_HEADER_SIZE> bytes);

struct ParsedHeader {
    uint32_t magic; // as stored, bit 31 included
    uint8_t format;
    uint32_t headerLength;
    uint32_t payloadLength;
};

// Lengths come from the image and are attacker-controlled; all sums wrap as u32.
ParsedHeader parse_header(std::span<const uint8_t, COMPONENT_PROBE_SIZE> first);

inline uint32_t component_length(const ParsedHeader &h) { return h.headerLength + h.payloadLength; }
inline uint32_t component_type(uint32_t magic) { return magic & ~EXTENDED_HEADER_FLAG; }

// A component whose buffer of component_length() bytes holds the 24 bytes a
// reader looks at and the whole header, so no payload or CRC range reaches
// outside it.
bool component_is_sound(const ParsedHeader &h);

// HDR3 header entries.
struct HeaderEntry {
    uint32_t offset;
    uint16_t tag;
    uint16_t length;
    std::span<const uint8_t> value; // entry bytes after the 4-byte head
};

enum class EntryWalkStatus : uint8_t {
    Entry,      // entry filled in
    End,        // offset reached the header length
    ZeroLength, // malformed: the walk would stand still
    Overrun,    // malformed: the entry's head or value reaches past the header
};

struct EntryWalk {
    std::span<const uint8_t> header;
    uint32_t limit; // min(header length, bytes in the buffer)
    uint32_t offset;
};

// header: the buffer holding the header; hdrlen: the header length it claims.
EntryWalk entry_walk_begin(std::span<const uint8_t> header, uint32_t hdrlen);
EntryWalkStatus entry_walk_next(EntryWalk &walk, HeaderEntry &entry);

// The last signature entry's signature bytes; false when there is none or the
// last one's signature length runs past its entry.
bool find_signature_entry(std::span<const uint8_t> header, uint32_t hdrlen,
                          std::span<const uint8_t> &signature);

struct BootComponent {
    uint32_t type; // effective type, bit 31 cleared
    uint8_t format;
    uint32_t headerLength;
    uint32_t payloadLength;
    uint8_t header[IMAGE_HEADER_SIZE]; // first 16 bytes as stored
    uint32_t lastMagic;                // magic of the last header examined, 0 if none
};

// Leaves file at the start of the component on true.
bool find_boot_component(FILE *file, BootComponent &found);

int read_installed_header(uint32_t type, uint8_t *out, int slot);
