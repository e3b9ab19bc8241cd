// A component read in one pass: the CRC and the SHA-256 of the signed region
// run over each piece right after it arrives, while it is still in cache,
// rather than as passes of their own over the whole buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/platform.h"
#include "security/crypto/sha256.h"
#include "security/signature.h"

struct ComponentScan {
    uint64_t seen; // bytes of the component scanned so far
    SignedRange range;
    uint32_t crc;
    Sha256Ctx sha;
};

struct ComponentRead {
    uint32_t crc; // image_crc32 of what was read from CRC_OFFSET on, seed CRC_SEED
    bool hashed;  // digest covers the whole signed range
    RangeDigest digest;
};

void scan_begin(ComponentScan &scan, SignedRange range);
// piece: the next bytes of the component.
void scan_update(ComponentScan &scan, const uint8_t *piece, size_t length);
void scan_finish(ComponentScan &scan, ComponentRead &out);

struct BufferRelease {
    size_t size;
    void operator()(uint8_t *p) const { plat_free_buffer(p, size); }
};
using ComponentBuffer = std::unique_ptr<uint8_t[], BufferRelease>;

// Reads until length bytes are in or the device ends or fails; answers the bytes read.
size_t pread_upto(int fd, uint8_t *buffer, size_t length, uint64_t offset);

// Empty when there is no memory.
ComponentBuffer alloc_component_buffer(size_t size);

// Reads up to length bytes of a component at offset of fd (plat_pread) into
// buffer, scanning each piece as it comes in; the signed range is found from
// the first 24 bytes and length. Answers the bytes read: fewer than length
// only where the file ends or a read fails.
size_t read_component(int fd, uint64_t offset, uint8_t *buffer, size_t length, ComponentRead &out);

// The whole component of length bytes from the file's position on, or
// nothing when the file holds fewer bytes or there is no memory: the length
// comes from the header, which must not make a reader allocate far more than
// the file or use bytes it never read.
ComponentBuffer read_component_from(FILE *file, uint32_t length, ComponentRead &out);
