#include "image/image_format.h"

#include <sys/types.h>

#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "hw/flash.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

bool seek_to(FILE *file, uint64_t position)
{
    if (position > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
        return false;
    return fseeko(file, static_cast<off_t>(position), SEEK_SET) == 0;
}

// The first type entry carrying the type signature overrides the type; a
// malformed entry list leaves it as it is. False when the header cannot be read.
bool hdr3_effective_type(FILE *file, uint64_t start, const ParsedHeader &h, uint32_t &type)
{
    type = h.magic;
    // hdrlen is a u16 from the image: at most 64 KiB.
    const uint32_t hdrlen = h.headerLength;
    std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[hdrlen ? hdrlen : 1]);
    if (!buf || !seek_to(file, start) || fread(buf.get(), 1, hdrlen, file) != hdrlen)
        return false;
    EntryWalk walk = entry_walk_begin({buf.get(), hdrlen}, hdrlen);
    HeaderEntry e;
    for (;;) {
        switch (entry_walk_next(walk, e)) {
        case EntryWalkStatus::Entry:
            if (e.tag == TAG_TYPE && e.value.size() >= 4) {
                const uint32_t value = load_be32(e.value.data());
                if (((value ^ ComponentType::APPLICATION) & TYPE_SIGNATURE_MASK) == 0) {
                    type = value;
                    return true;
                }
            }
            continue;
        case EntryWalkStatus::ZeroLength:
            puts("Image header error");
            return true;
        case EntryWalkStatus::End:
        case EntryWalkStatus::Overrun:
            return true;
        }
    }
}

} // namespace

ImageHeader decode_image_header(std::span<const uint8_t, IMAGE_HEADER_SIZE> b)
{
    return {load_be32(&b[0]), load_be32(&b[4]), load_be32(&b[8]), load_be32(&b[12])};
}

ParsedHeader parse_header(std::span<const uint8_t, COMPONENT_PROBE_SIZE> first)
{
    const uint32_t len = load_be32(&first[4]);
    ParsedHeader h{load_be32(&first[8]), FORMAT_PLAIN, IMAGE_HEADER_SIZE, len};
    // The marker test comes first: an HDR3 header may have bit 31 set too.
    if (load_be32(&first[16]) == HDR3_MARKER) {
        h.format = FORMAT_HDR3;
        h.headerLength = load_be16(&first[22]);
        h.payloadLength = len - h.headerLength + 16;
    } else if (h.magic & EXTENDED_HEADER_FLAG) {
        h.format = FORMAT_EXTENDED;
        h.headerLength = load_be16(&first[18]);
    }
    return h;
}

bool component_is_sound(const ParsedHeader &h)
{
    const uint32_t total = component_length(h);
    return total >= COMPONENT_PROBE_SIZE && h.headerLength <= total;
}

EntryWalk entry_walk_begin(std::span<const uint8_t> header, uint32_t hdrlen)
{
    const uint32_t limit = header.size() < hdrlen ? static_cast<uint32_t>(header.size()) : hdrlen;
    return {header, limit, HDR3_ENTRIES_OFFSET};
}

EntryWalkStatus entry_walk_next(EntryWalk &walk, HeaderEntry &entry)
{
    if (walk.offset >= walk.limit)
        return EntryWalkStatus::End;
    // Offsets stay below 2^17 (u16 lengths over a u16 header), so no sum wraps.
    if (walk.limit - walk.offset < 4)
        return EntryWalkStatus::Overrun;
    const uint8_t *head = walk.header.data() + walk.offset;
    const uint16_t length = load_be16(head + 2);
    if (length == 0)
        return EntryWalkStatus::ZeroLength;
    if (length > walk.limit - walk.offset)
        return EntryWalkStatus::Overrun;
    entry.offset = walk.offset;
    entry.tag = load_be16(head);
    entry.length = length;
    // An entry shorter than its own head is stepped over with no value.
    entry.value = length > 4 ? walk.header.subspan(walk.offset + 4, length - 4u) : std::span<const uint8_t>{};
    walk.offset += length;
    return EntryWalkStatus::Entry;
}

bool find_signature_entry(std::span<const uint8_t> header, uint32_t hdrlen,
                          std::span<const uint8_t> &signature)
{
    EntryWalk walk = entry_walk_begin(header, hdrlen);
    HeaderEntry e;
    bool found = false;
    std::span<const uint8_t> last;
    while (entry_walk_next(walk, e) == EntryWalkStatus::Entry) {
        if (e.tag == TAG_SIGNATURE) {
            found = true;
            last = e.value;
        }
    }
    if (!found || last.size() < 2)
        return false;
    // The signature length is attacker-controlled: it must stay inside its entry.
    const uint16_t siglen = load_be16(last.data());
    if (siglen > last.size() - 2)
        return false;
    signature = last.subspan(2, siglen);
    return true;
}

bool find_boot_component(FILE *file, BootComponent &found)
{
    found.lastMagic = 0;
    uint64_t position = 0;
    for (;;) {
        uint8_t first[COMPONENT_PROBE_SIZE];
        if (!seek_to(file, position) || fread(first, 1, sizeof first, file) != sizeof first)
            return false;
        const ParsedHeader h = parse_header(first);
        found.lastMagic = h.magic;
        // A length of 0 would stand still and one below 4 has no CRC range.
        if (component_length(h) < CRC_OFFSET)
            return false;
        uint32_t type = h.magic;
        if (h.format == FORMAT_HDR3 && !hdr3_effective_type(file, position, h, type))
            return false;
        type = component_type(type);
        if (type == ComponentType::APPLICATION || type == ComponentType::DIAGNOSTICS) {
            // The boot reads the component whole and the signature check looks
            // at its first 24 bytes and at hdrlen bytes of it.
            if (!component_is_sound(h))
                return false;
            found.type = type;
            found.format = h.format;
            found.headerLength = h.headerLength;
            found.payloadLength = h.payloadLength;
            memcpy(found.header, first, IMAGE_HEADER_SIZE);
            return seek_to(file, position);
        }
        // Lengths from the image are attacker-controlled: the position only
        // grows, in 64 bits, and a start past the end fails the next read.
        position += component_length(h);
    }
}

int read_installed_header(uint32_t type, uint8_t *out, int slot)
{
    if (!out)
        return 0;
    memset(out, 0, IMAGE_HEADER_SIZE);
    int partition;
    uint32_t offset = 0;
    switch (type) {
    case ComponentType::APPLICATION: {
        char path[32];
        snprintf(path, sizeof path, "/user/images/image%d", slot);
        UniqueFile f(fopen(path, "rb"));
        if (!f)
            return 0;
        // A short file leaves the rest zero.
        [[maybe_unused]] const size_t got = fread(out, 1, IMAGE_HEADER_SIZE, f.get());
        return 1;
    }
    case ComponentType::UBOOT:
        partition = UBOOT;
        offset = UBOOT_HEADER_OFFSET;
        break;
    case ComponentType::KERNEL:
        partition = KERNEL;
        break;
    case ComponentType::RFS:
        partition = RFS;
        break;
    case ComponentType::DFT:
        partition = DEVICETREE;
        break;
    case ComponentType::DIAGNOSTICS:
        partition = RESCUE;
        break;
    default:
        return 0;
    }
    // Read aside so that a failed read leaves out all zero.
    uint8_t bytes[IMAGE_HEADER_SIZE];
    if (flash_read_partition(bytes, flashFd[partition], offset, IMAGE_HEADER_SIZE) == 0)
        memcpy(out, bytes, IMAGE_HEADER_SIZE);
    return 1;
}
