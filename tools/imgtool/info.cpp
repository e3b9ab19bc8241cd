// info: a file walked component by component as the loader walks it.
#include <algorithm>
#include <cstdio>

#include "image/component_read.h"
#include "image/image_format.h"
#include "security/signature.h"
#include "tools/imgtool/imgtool.h"

namespace {

struct PublicKey {
    const char *path;
    Bytes text;
};

void print_type(uint32_t type)
{
    if (const char *name = type_name(type))
        fputs(name, stdout);
    else
        printf("0x%08x", type);
}

// The type the boot reader takes: the first type entry with the type signature
// in an HDR3 header, else the stored one. The header is read from the file as
// the loader reads it, past the component's end if hdrlen says so; false when
// the file ends first (the loader's walk stops there).
bool boot_type(const InputFile &in, uint64_t pos, const ParsedHeader &h, uint32_t &type, bool &readFailed)
{
    type = component_type(h.magic);
    if (h.format != FORMAT_HDR3)
        return true;
    if (h.headerLength > in.size - pos)
        return false;
    Bytes header(h.headerLength);
    if (!read_at(in, pos, header.data(), header.size())) {
        readFailed = true;
        return false;
    }
    EntryWalk walk = entry_walk_begin(header, h.headerLength);
    HeaderEntry e;
    while (entry_walk_next(walk, e) == EntryWalkStatus::Entry) {
        if (e.tag != TAG_TYPE || e.value.size() < 4)
            continue;
        const uint32_t value = load_be32(e.value.data());
        if (((value ^ ComponentType::APPLICATION) & TYPE_SIGNATURE_MASK) == 0) {
            type = component_type(value);
            break;
        }
    }
    return true;
}

bool is_boot_type(uint32_t type)
{
    return type == ComponentType::APPLICATION || type == ComponentType::DIAGNOSTICS;
}

// Types whose signature the loader checks, when installing or when booting.
bool signature_checked(uint32_t type, uint32_t bootType)
{
    return type == ComponentType::APPLICATION || type == ComponentType::KERNEL ||
           type == ComponentType::RFS || type == ComponentType::DFT ||
           bootType == ComponentType::APPLICATION || bootType == ComponentType::DIAGNOSTICS;
}

enum class Verdict { Good, Bad, Unreadable };

// Reads the component once, in pieces, for its CRC and the digest of its
// signed region, then prints the rest of its line.
Verdict judge_component(const InputFile &in, uint64_t pos, uint32_t length,
                        std::span<const uint8_t, COMPONENT_PROBE_SIZE> first, const ParsedHeader &h,
                        uint32_t bootType, std::span<const PublicKey> keys, Bytes &piece)
{
    ComponentScan scan;
    // Without keys the digest has nothing to be checked against.
    scan_begin(scan, keys.empty() ? SignedRange{false, 0, 0} : signed_range(first, length));
    Bytes head;
    for (uint64_t at = 0; at < length;) {
        const size_t n = size_t(std::min<uint64_t>(piece.size(), length - at));
        if (!read_at(in, pos + at, piece.data(), n))
            return Verdict::Unreadable;
        // A piece is larger than any header.
        if (at == 0)
            head.assign(piece.begin(), piece.begin() + std::min(n, SIGNATURE_HEAD_MAX));
        scan_update(scan, piece.data(), n);
        at += n;
    }
    ComponentRead read;
    scan_finish(scan, read);

    bool good = true;
    const uint32_t stored = load_be32(first.data());
    if (stored == read.crc) {
        printf(" crc good");
    } else {
        printf(" crc bad (stored 0x%08x, computed 0x%08x)", stored, read.crc);
        good = false;
    }

    const uint32_t type = component_type(h.magic);
    if (bootType != type) {
        printf(" type-entry ");
        print_type(bootType);
    }

    std::span<const uint8_t> signature;
    SignedRange range;
    switch (locate_component_signature(head, length, signature, range)) {
    case SignatureLookup::Unsigned:
        printf(" signature none");
        if (!keys.empty() && signature_checked(type, bootType)) {
            printf(" (rejected unsigned)");
            good = false;
        }
        return good ? Verdict::Good : Verdict::Bad;
    case SignatureLookup::Malformed:
        printf(" signature malformed");
        return good && keys.empty() ? Verdict::Good : Verdict::Bad;
    case SignatureLookup::Found:
        printf(" signature %zu bytes", signature.size());
        break;
    }
    bool anyKey = false;
    for (const PublicKey &key : keys) {
        const int32_t status =
            check_signature_digest(read.digest.bytes, signature, key.text.data(), uint32_t(key.text.size()));
        if (status == 0) {
            printf("; %s good", key.path);
            anyKey = true;
        } else {
            printf("; %s bad (%d)", key.path, status);
        }
    }
    return good && (keys.empty() || anyKey) ? Verdict::Good : Verdict::Bad;
}

} // namespace

int cmd_info(int argc, char **argv)
{
    static constexpr OptionSpec options[] = {{"--key", true, true}};
    ParsedArgs args;
    if (!parse_args(argc, argv, options, args))
        return EXIT_USAGE;
    if (args.help) {
        puts("usage: imgtool info FILE [--key PUB.pem ...]\n"
             "One line per component: offset, format, type, version, header and payload\n"
             "length, CRC, type entry, signature. With keys, the loader's signature check\n"
             "under each key. Exit status 1 when a CRC is bad, the file ends inside a\n"
             "component, or (with keys) a signature is good under none of them or a\n"
             "component the loader checks is unsigned.");
        return 0;
    }
    if (args.positional.size() != 1)
        return fail(EXIT_USAGE, "info: exactly one FILE expected");
    std::vector<PublicKey> keys;
    for (const auto &[name, value] : args.options) {
        keys.push_back({value, {}});
        if (!load_public_key(value, keys.back().text))
            return EXIT_USAGE;
    }
    InputFile in;
    if (!open_input(args.positional[0], in))
        return EXIT_USAGE;

    const uint64_t size = in.size;
    Bytes piece(PIECE);
    bool good = true;
    uint64_t pos = 0;
    // The loader's walk: it ends when fewer than 24 bytes are left.
    while (size - pos >= COMPONENT_PROBE_SIZE) {
        uint8_t first[COMPONENT_PROBE_SIZE];
        if (!read_at(in, pos, first, sizeof first))
            return EXIT_USAGE;
        const ParsedHeader h = parse_header(first);
        const ImageHeader ih = decode_image_header(std::span<const uint8_t, IMAGE_HEADER_SIZE>(first, 16));
        static constexpr const char *FORMATS[] = {"?", "plain", "extended", "hdr3"};
        printf("offset %llu: %s ", static_cast<unsigned long long>(pos), FORMATS[h.format]);
        print_type(component_type(h.magic));
        printf(" %u.%u.%u.%u header %u payload %u", ih.id >> 24, ih.id >> 16 & 0xFF, ih.id >> 8 & 0xFF,
               ih.id & 0xFF, h.headerLength, h.payloadLength);
        const uint32_t length = component_length(h);
        uint32_t bootType = 0;
        bool readFailed = false;
        const bool headerRead = boot_type(in, pos, h, bootType, readFailed);
        if (readFailed)
            return EXIT_USAGE;
        // The loader stops where it cannot step on (below 4 bytes) and refuses
        // to boot a component that does not hold its own header; any other
        // component it steps over or installs.
        if (length < CRC_OFFSET || (headerRead && is_boot_type(bootType) && !component_is_sound(h))) {
            printf(" malformed (component length %u)\n", length);
            good = false;
            pos = size;
            break;
        }
        if (!headerRead || length > size - pos) {
            printf(" truncated (%llu of %u bytes in the file)\n", static_cast<unsigned long long>(size - pos),
                   length);
            good = false;
            pos = size;
            break;
        }
        const Verdict v = judge_component(in, pos, length, first, h, bootType, keys, piece);
        if (v == Verdict::Unreadable)
            return EXIT_USAGE;
        good &= v == Verdict::Good;
        putchar('\n');
        pos += length;
    }
    if (pos == 0 && size == 0) {
        printf("no component\n");
        good = false;
    } else if (pos < size) {
        printf("offset %llu: %llu trailing bytes, too few for a component\n",
               static_cast<unsigned long long>(pos), static_cast<unsigned long long>(size - pos));
        good = false;
    }
    return good ? 0 : EXIT_CHECK_FAILED;
}
