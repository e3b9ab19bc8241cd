// info: a file walked component by component as the loader walks it.
#include <cstdio>

#include "image/crc32.h"
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
bool boot_type(std::span<const uint8_t> rest, const ParsedHeader &h, uint32_t &type)
{
    type = component_type(h.magic);
    if (h.format != FORMAT_HDR3)
        return true;
    if (h.headerLength > rest.size())
        return false;
    EntryWalk walk = entry_walk_begin(rest.first(h.headerLength), h.headerLength);
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

// Prints the rest of the component's line; false when it fails a check.
bool judge_component(std::span<const uint8_t> component, const ParsedHeader &h, uint32_t bootType,
                     std::span<const PublicKey> keys)
{
    bool good = true;
    const uint32_t stored = load_be32(component.data());
    const uint32_t computed =
        image_crc32(component.data() + CRC_OFFSET, uint32_t(component.size() - CRC_OFFSET), CRC_SEED);
    if (stored == computed) {
        printf(" crc good");
    } else {
        printf(" crc bad (stored 0x%08x, computed 0x%08x)", stored, computed);
        good = false;
    }

    const uint32_t type = component_type(h.magic);
    if (bootType != type) {
        printf(" type-entry ");
        print_type(bootType);
    }

    ComponentSignature sig;
    switch (find_component_signature(component, sig)) {
    case SignatureLookup::Unsigned:
        printf(" signature none");
        if (!keys.empty() && signature_checked(type, bootType)) {
            printf(" (rejected unsigned)");
            good = false;
        }
        return good;
    case SignatureLookup::Malformed:
        printf(" signature malformed");
        return good && keys.empty();
    case SignatureLookup::Found:
        printf(" signature %zu bytes", sig.signature.size());
        break;
    }
    bool anyKey = false;
    for (const PublicKey &key : keys) {
        const int32_t status = check_component_signature(sig, key.text.data(), uint32_t(key.text.size()));
        if (status == 0) {
            printf("; %s good", key.path);
            anyKey = true;
        } else {
            printf("; %s bad (%d)", key.path, status);
        }
    }
    return good && (keys.empty() || anyKey);
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
    Bytes file;
    if (!read_file(args.positional[0], file))
        return EXIT_USAGE;

    const std::span<const uint8_t> bytes = file;
    bool good = true;
    size_t pos = 0;
    // The loader's walk: it ends when fewer than 24 bytes are left.
    while (bytes.size() - pos >= COMPONENT_PROBE_SIZE) {
        const auto first = bytes.subspan(pos).first<COMPONENT_PROBE_SIZE>();
        const ParsedHeader h = parse_header(first);
        const ImageHeader ih = decode_image_header(first.first<IMAGE_HEADER_SIZE>());
        static constexpr const char *FORMATS[] = {"?", "plain", "extended", "hdr3"};
        printf("offset %zu: %s ", pos, FORMATS[h.format]);
        print_type(component_type(h.magic));
        printf(" %u.%u.%u.%u header %u payload %u", ih.id >> 24, ih.id >> 16 & 0xFF, ih.id >> 8 & 0xFF,
               ih.id & 0xFF, h.headerLength, h.payloadLength);
        const uint32_t length = component_length(h);
        uint32_t bootType = 0;
        const bool headerRead = boot_type(bytes.subspan(pos), h, bootType);
        // The loader stops where it cannot step on (below 4 bytes) and refuses
        // to boot a component that does not hold its own header; any other
        // component it steps over or installs.
        if (length < CRC_OFFSET || (headerRead && is_boot_type(bootType) && !component_is_sound(h))) {
            printf(" malformed (component length %u)\n", length);
            good = false;
            pos = bytes.size();
            break;
        }
        if (!headerRead || length > bytes.size() - pos) {
            printf(" truncated (%zu of %u bytes in the file)\n", bytes.size() - pos, length);
            good = false;
            pos = bytes.size();
            break;
        }
        good &= judge_component(bytes.subspan(pos, length), h, bootType, keys);
        putchar('\n');
        pos += length;
    }
    if (pos == 0 && bytes.empty()) {
        printf("no component\n");
        good = false;
    } else if (pos < bytes.size()) {
        printf("offset %zu: %zu trailing bytes, too few for a component\n", pos, bytes.size() - pos);
        good = false;
    }
    return good ? 0 : EXIT_CHECK_FAILED;
}
