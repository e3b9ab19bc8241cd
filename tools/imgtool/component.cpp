// Building components: create, package, digest, attach-signature.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/component_read.h"
#include "image/crc32.h"
#include "image/image_format.h"
#include "security/crypto/crypto.h"
#include "security/crypto/sha256.h"
#include "security/signature.h"
#include "tools/imgtool/imgtool.h"

namespace {

struct TypeName {
    const char *arg;
    uint32_t code;
    const char *name;
};

constexpr TypeName TYPES[] = {
    {"application", ComponentType::APPLICATION, "APPLICATION"},
    {"uboot", ComponentType::UBOOT, "UBOOT"},
    {"kernel", ComponentType::KERNEL, "KERNEL"},
    {"rfs", ComponentType::RFS, "RFS"},
    {"dft", ComponentType::DFT, "DFT"},
    {"diagnostics", ComponentType::DIAGNOSTICS, "DIAGNOSTICS"},
    {"nos", ComponentType::NOS_APPLICATION, "NOS_APPLICATION"},
};

bool parse_hex(std::string_view text, uint32_t &value)
{
    if (text.size() < 3 || text.size() > 10 || (text.substr(0, 2) != "0x" && text.substr(0, 2) != "0X"))
        return false;
    value = 0;
    for (char c : text.substr(2)) {
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0)
            return false;
        value = value << 4 | uint32_t(d);
    }
    return true;
}

bool parse_version(std::string_view text, uint32_t &id)
{
    id = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (text.empty() || text[0] != '.')
                return false;
            text.remove_prefix(1);
        }
        size_t digits = 0;
        uint32_t v = 0;
        while (digits < text.size() && digits < 4 && text[digits] >= '0' && text[digits] <= '9')
            v = v * 10 + uint32_t(text[digits++] - '0');
        if (digits == 0 || v > 255)
            return false;
        text.remove_prefix(digits);
        id = id << 8 | v;
    }
    return text.empty();
}

int bad_crc(const char *path, uint32_t stored, uint32_t computed)
{
    return fail(EXIT_CHECK_FAILED, "%s: bad CRC (stored 0x%08x, computed 0x%08x)", path, stored, computed);
}

// Reads the whole component in pieces, each scanned for the CRC and the
// signed range and, with an output, written at the same offset less skip
// (the bytes before skip are not written).
bool stream_component(const Component &c, ComponentScan &scan, OutputFile *out = nullptr, uint32_t skip = 0,
                      uint64_t outOffset = 0, uint32_t *payloadCrc0 = nullptr)
{
    Bytes piece(PIECE);
    for (uint64_t pos = 0; pos < c.length;) {
        const size_t n = size_t(std::min<uint64_t>(PIECE, c.length - pos));
        if (!read_at(c.file, pos, piece.data(), n))
            return false;
        scan_update(scan, piece.data(), n);
        // Only whole bytes past skip go out.
        const size_t from = pos >= skip ? 0 : size_t(std::min<uint64_t>(n, skip - pos));
        if (from < n && payloadCrc0)
            *payloadCrc0 = image_crc32(piece.data() + from, uint32_t(n - from), *payloadCrc0);
        if (from < n && out && !write_at(*out, outOffset + pos + from - skip, piece.data() + from, n - from))
            return false;
        pos += n;
    }
    return true;
}

} // namespace

bool parse_type(std::string_view text, uint32_t &type)
{
    for (const TypeName &t : TYPES)
        if (text.size() == strlen(t.arg) && strncasecmp(text.data(), t.arg, text.size()) == 0) {
            type = t.code;
            return true;
        }
    // Bit 31 is the extended-header flag, not part of a type.
    return parse_hex(text, type) && !(type & EXTENDED_HEADER_FLAG);
}

const char *type_name(uint32_t type)
{
    for (const TypeName &t : TYPES)
        if (t.code == type)
            return t.name;
    return nullptr;
}

bool load_component(const char *path, Component &out)
{
    if (!open_input(path, out.file))
        return false;
    if (out.file.size < COMPONENT_PROBE_SIZE) {
        fail(EXIT_USAGE, "%s: %zu bytes, too short for a component", path, size_t(out.file.size));
        return false;
    }
    if (!read_at(out.file, 0, out.first, COMPONENT_PROBE_SIZE))
        return false;
    const ParsedHeader h = parse_header(out.first);
    if (!component_is_sound(h)) {
        fail(EXIT_USAGE, "%s: malformed header (header length %u, component length %u)", path, h.headerLength,
             component_length(h));
        return false;
    }
    if (component_length(h) != out.file.size) {
        fail(EXIT_USAGE, "%s: header gives a component of %u bytes, the file has %llu", path,
             component_length(h), static_cast<unsigned long long>(out.file.size));
        return false;
    }
    out.format = h.format;
    out.headerLength = h.headerLength;
    out.payloadLength = h.payloadLength;
    out.length = component_length(h);
    return true;
}

size_t header_length(const ComponentSpec &want)
{
    const size_t sigEntry = want.signature.empty() ? 0 : 6 + want.signature.size();
    if (want.format == FORMAT_EXTENDED)
        return HDR3_ENTRIES_OFFSET; // nothing after offset 24 is interpreted
    if (want.format == FORMAT_HDR3)
        return HDR3_ENTRIES_OFFSET + want.entries.size() + sigEntry;
    return IMAGE_HEADER_SIZE;
}

bool build_header(const ComponentSpec &want, uint64_t payloadSize, std::span<const uint8_t> payloadStart,
                  Bytes &out)
{
    const size_t sigEntry = want.signature.empty() ? 0 : 6 + want.signature.size();
    const size_t hdrlen = header_length(want);
    if (hdrlen > 0xFFFF || sigEntry > 0xFFFF) {
        fail(EXIT_USAGE, "header of %zu bytes does not fit its 16-bit length", hdrlen);
        return false;
    }
    const uint64_t total = hdrlen + payloadSize;
    if (total > 0xFFFFFFFFu) {
        fail(EXIT_USAGE, "component of %llu bytes does not fit its 32-bit length",
             static_cast<unsigned long long>(total));
        return false;
    }
    if (total < COMPONENT_PROBE_SIZE) {
        fail(EXIT_USAGE, "component of %llu bytes is shorter than the %u bytes every reader needs",
             static_cast<unsigned long long>(total), COMPONENT_PROBE_SIZE);
        return false;
    }
    out.assign(hdrlen, 0);
    uint8_t *p = out.data();
    store_be32(p + 4, uint32_t(want.format == FORMAT_HDR3 ? total - 16 : payloadSize));
    store_be32(p + 8, want.format == FORMAT_EXTENDED ? want.magic | EXTENDED_HEADER_FLAG : want.magic);
    store_be32(p + 12, want.id);
    if (want.format == FORMAT_EXTENDED)
        store_be16(p + 18, uint16_t(hdrlen));
    if (want.format == FORMAT_HDR3) {
        store_be32(p + 16, HDR3_MARKER);
        store_be16(p + 20, want.reserved);
        store_be16(p + 22, uint16_t(hdrlen));
        uint8_t *e = p + HDR3_ENTRIES_OFFSET;
        if (!want.entries.empty())
            memcpy(e, want.entries.data(), want.entries.size());
        e += want.entries.size();
        if (sigEntry) {
            store_be16(e, TAG_SIGNATURE);
            store_be16(e + 2, uint16_t(sigEntry));
            store_be16(e + 4, uint16_t(want.signature.size()));
            memcpy(e + 6, want.signature.data(), want.signature.size());
        }
    }

    // Judge the result as a reader would: a plain payload that starts with the
    // marker turns the component into an HDR3 one.
    uint8_t first[COMPONENT_PROBE_SIZE] = {};
    memcpy(first, p, std::min<size_t>(hdrlen, sizeof first));
    if (hdrlen < sizeof first)
        memcpy(first + hdrlen, payloadStart.data(), std::min(payloadStart.size(), sizeof first - hdrlen));
    const ParsedHeader h = parse_header(first);
    if (h.format != want.format || component_length(h) != total) {
        fail(EXIT_USAGE, "payload begins with \"HDR3\": readers would take it for an HDR3 header "
                         "(use --format extended or hdr3)");
        return false;
    }
    return true;
}

uint32_t component_crc(std::span<const uint8_t> header, uint32_t payloadCrc0, uint64_t payloadSize)
{
    const uint32_t headerCrc =
        image_crc32(header.data() + CRC_OFFSET, uint32_t(header.size() - CRC_OFFSET), CRC_SEED);
    return image_crc32_zeros(headerCrc, payloadSize) ^ payloadCrc0;
}

int cmd_create(int argc, char **argv)
{
    static constexpr OptionSpec options[] = {
        {"--type", true, false}, {"--version", true, false},    {"--format", true, false},
        {"--sign", true, false}, {"--type-entry", true, false}, {"-o", true, false},
    };
    ParsedArgs args;
    if (!parse_args(argc, argv, options, args))
        return EXIT_USAGE;
    if (args.help) {
        puts("usage: imgtool create --type TYPE --version A.B.C.D [--format plain|extended|hdr3]\n"
             "                      [--sign KEY.pem] [--type-entry TYPE] PAYLOAD -o OUT\n"
             "Makes one component holding PAYLOAD.\n"
             "  TYPE: application, uboot, kernel, rfs, dft, diagnostics, nos or 0xCODE\n"
             "  --format       header format; hdr3 when signing, plain otherwise\n"
             "  --sign         RSA private key (PEM): signs the payload, PKCS#1 v1.5 SHA-256 (hdr3 only)\n"
             "  --type-entry   adds a type entry (hdr3 only); the boot reader takes its type from it");
        return 0;
    }
    const char *typeArg = option(args, "--type"), *versionArg = option(args, "--version");
    const char *out = option(args, "-o"), *key = option(args, "--sign");
    const char *formatArg = option(args, "--format"), *typeEntryArg = option(args, "--type-entry");
    if (!typeArg || !versionArg || !out)
        return fail(EXIT_USAGE, "create: --type, --version and -o are required");
    if (args.positional.size() != 1)
        return fail(EXIT_USAGE, "create: exactly one PAYLOAD file expected");

    ComponentSpec want{};
    if (!parse_type(typeArg, want.magic))
        return fail(EXIT_USAGE, "create: unknown type '%s'", typeArg);
    if (!parse_version(versionArg, want.id))
        return fail(EXIT_USAGE, "create: version '%s' is not A.B.C.D with numbers 0-255", versionArg);
    const std::string_view format = formatArg ? formatArg : key ? "hdr3" : "plain";
    if (format == "plain")
        want.format = FORMAT_PLAIN;
    else if (format == "extended")
        want.format = FORMAT_EXTENDED;
    else if (format == "hdr3")
        want.format = FORMAT_HDR3;
    else
        return fail(EXIT_USAGE, "create: unknown format '%s' (plain, extended or hdr3)", formatArg);
    if (key && want.format != FORMAT_HDR3)
        return fail(EXIT_USAGE, "create: only an hdr3 header carries a signature");
    uint8_t typeEntry[8];
    if (typeEntryArg) {
        uint32_t code;
        if (!parse_type(typeEntryArg, code))
            return fail(EXIT_USAGE, "create: unknown type '%s'", typeEntryArg);
        if (want.format != FORMAT_HDR3)
            return fail(EXIT_USAGE, "create: only an hdr3 header carries a type entry");
        store_be16(typeEntry, TAG_TYPE);
        store_be16(typeEntry + 2, sizeof typeEntry);
        store_be32(typeEntry + 4, code);
        want.entries = typeEntry;
    }

    InputFile payload;
    if (!open_input(args.positional[0], payload))
        return EXIT_USAGE;
    std::string publicPem;
    UniqueSigningKey signer;
    Bytes signature;
    if (key) {
        if (!(signer = load_signing_key(key, publicPem)))
            return EXIT_USAGE;
        // Room for the signature, which is made once the payload has been read.
        signature.assign(signature_length(*signer), 0);
        want.signature = signature;
    }
    const size_t hdrlen = header_length(want);
    OutputFile output;
    if (!open_output(out, output))
        return EXIT_USAGE;

    // The payload goes out behind the room for the header as it is read; the
    // header, its signature and CRC follow from the payload's sums.
    Sha256Ctx sha;
    sha256_init(&sha);
    uint32_t payloadCrc0 = 0;
    uint64_t size = 0;
    uint8_t start[8];
    size_t startLength = 0;
    Bytes piece(PIECE);
    for (;;) {
        const ssize_t n = read(payload.fd, piece.data(), piece.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(EXIT_USAGE, "cannot read %s: %s", payload.path, strerror(errno));
        if (n == 0)
            break;
        const size_t got = size_t(n);
        if (startLength < sizeof start) {
            const size_t take = std::min(sizeof start - startLength, got);
            memcpy(start + startLength, piece.data(), take);
            startLength += take;
        }
        if (key)
            sha256_update(&sha, piece.data(), got);
        payloadCrc0 = image_crc32(piece.data(), uint32_t(got), payloadCrc0);
        if (!write_at(output, hdrlen + size, piece.data(), got))
            return EXIT_USAGE;
        size += got;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_final(&sha, digest);
    if (key && !sign_digest(*signer, key, digest, signature))
        return EXIT_CHECK_FAILED;
    Bytes header;
    if (!build_header(want, size, {start, startLength}, header))
        return EXIT_USAGE;
    if (key) {
        // What the switch will do with it: a key it cannot take (say, over
        // 4096 bits) must not yield an image that no switch boots.
        std::span<const uint8_t> found;
        SignedRange range;
        if (locate_component_signature(header, hdrlen + size, found, range) != SignatureLookup::Found ||
            range.from != hdrlen || range.to != hdrlen + size)
            return fail(EXIT_CHECK_FAILED, "create: the loader does not find the signature it was given");
        const int32_t status = check_signature_digest(
            digest, found, reinterpret_cast<const uint8_t *>(publicPem.data()), uint32_t(publicPem.size()));
        if (status != 0)
            return fail(EXIT_CHECK_FAILED, "create: the loader rejects this signature (status %d)", status);
    }
    store_be32(header.data(), component_crc(header, payloadCrc0, size));
    return write_at(output, 0, header.data(), header.size()) && commit_output(output) ? 0 : EXIT_USAGE;
}

int cmd_package(int argc, char **argv)
{
    static constexpr OptionSpec options[] = {{"-o", true, false}};
    ParsedArgs args;
    if (!parse_args(argc, argv, options, args))
        return EXIT_USAGE;
    if (args.help) {
        puts("usage: imgtool package COMPONENT... -o OUT\n"
             "Puts the components back to back, in the order given. Each file must hold\n"
             "exactly one component with a good CRC.");
        return 0;
    }
    const char *out = option(args, "-o");
    if (!out || args.positional.empty())
        return fail(EXIT_USAGE, "package: at least one COMPONENT and -o are required");
    OutputFile output;
    uint64_t at = 0;
    for (const char *path : args.positional) {
        Component c;
        if (!load_component(path, c) || (output.fd < 0 && !open_output(out, output)))
            return EXIT_USAGE;
        ComponentScan scan;
        scan_begin(scan, {false, 0, 0});
        if (!stream_component(c, scan, &output, 0, at))
            return EXIT_USAGE;
        ComponentRead read;
        scan_finish(scan, read);
        if (read.crc != load_be32(c.first))
            return bad_crc(path, load_be32(c.first), read.crc);
        at += c.length;
    }
    return commit_output(output) ? 0 : EXIT_USAGE;
}

int cmd_digest(int argc, char **argv)
{
    ParsedArgs args;
    if (!parse_args(argc, argv, {}, args))
        return EXIT_USAGE;
    if (args.help) {
        puts("usage: imgtool digest COMPONENT\n"
             "Prints the SHA-256 (hex) of the payload, the region a signature covers, for\n"
             "signing elsewhere, e.g. openssl pkeyutl -sign -pkeyopt digest:sha256.");
        return 0;
    }
    if (args.positional.size() != 1)
        return fail(EXIT_USAGE, "digest: exactly one COMPONENT expected");
    Component c;
    if (!load_component(args.positional[0], c))
        return EXIT_USAGE;
    ComponentScan scan;
    scan_begin(scan, {true, c.headerLength, c.length});
    if (!stream_component(c, scan))
        return EXIT_USAGE;
    ComponentRead read;
    scan_finish(scan, read);
    // Signing a damaged payload would bless the damage.
    if (read.crc != load_be32(c.first))
        return bad_crc(args.positional[0], load_be32(c.first), read.crc);
    for (uint8_t b : read.digest.bytes)
        printf("%02x", b);
    putchar('\n');
    return 0;
}

int cmd_attach_signature(int argc, char **argv)
{
    static constexpr OptionSpec options[] = {{"-o", true, false}, {"--key", true, false}};
    ParsedArgs args;
    if (!parse_args(argc, argv, options, args))
        return EXIT_USAGE;
    if (args.help) {
        puts("usage: imgtool attach-signature COMPONENT SIG [--key PUB.pem] -o OUT\n"
             "Rebuilds the header as hdr3 with a signature entry holding SIG (raw bytes),\n"
             "replacing any signature entry, keeping the other entries; fixes the lengths\n"
             "and the CRC. With --key the signature must check good under that key.");
        return 0;
    }
    const char *out = option(args, "-o"), *keyPath = option(args, "--key");
    if (!out || args.positional.size() != 2)
        return fail(EXIT_USAGE, "attach-signature: COMPONENT, SIG and -o are required");
    Component c;
    Bytes signature, keyText, entries, header;
    if (!load_component(args.positional[0], c) || !read_file(args.positional[1], signature))
        return EXIT_USAGE;
    if (keyPath && !load_public_key(keyPath, keyText))
        return EXIT_USAGE;
    Bytes old(c.headerLength);
    if (!read_at(c.file, 0, old.data(), old.size()))
        return EXIT_USAGE;

    ComponentSpec want{};
    want.magic = load_be32(&c.first[8]);
    want.id = load_be32(&c.first[12]);
    want.format = FORMAT_HDR3;
    bool entriesGood = true;
    if (c.format == FORMAT_HDR3) {
        want.reserved = load_be16(&c.first[20]);
        EntryWalk walk = entry_walk_begin(old, c.headerLength);
        HeaderEntry e;
        EntryWalkStatus status;
        while ((status = entry_walk_next(walk, e)) == EntryWalkStatus::Entry)
            if (e.tag != TAG_SIGNATURE)
                entries.insert(entries.end(), old.begin() + e.offset, old.begin() + e.offset + e.length);
        entriesGood = status == EntryWalkStatus::End;
    } else {
        want.magic = component_type(want.magic);
    }
    want.entries = entries;
    want.signature = signature;
    const size_t hdrlen = header_length(want);

    // The payload goes out behind the new header while the old component is
    // checked, when a header can be made at all; the checks are then judged in
    // their usual order.
    OutputFile output;
    const bool writing = !signature.empty() && entriesGood && hdrlen <= 0xFFFF;
    if (writing && !open_output(out, output))
        return EXIT_USAGE;
    ComponentScan scan;
    scan_begin(scan, {true, c.headerLength, c.length});
    uint32_t payloadCrc0 = 0;
    if (!stream_component(c, scan, writing ? &output : nullptr, c.headerLength, hdrlen, &payloadCrc0))
        return EXIT_USAGE;
    ComponentRead read;
    scan_finish(scan, read);
    if (read.crc != load_be32(c.first))
        return bad_crc(args.positional[0], load_be32(c.first), read.crc);
    if (signature.empty())
        return fail(EXIT_USAGE, "attach-signature: %s is empty", args.positional[1]);
    if (!entriesGood)
        return fail(EXIT_CHECK_FAILED, "attach-signature: %s: malformed header entries", args.positional[0]);
    if (!build_header(want, c.payloadLength, {}, header))
        return EXIT_USAGE;
    if (keyPath) {
        // The new component signs the same payload, hashed above.
        std::span<const uint8_t> found;
        SignedRange range;
        const int32_t status =
            locate_component_signature(header, hdrlen + c.payloadLength, found, range) ==
                    SignatureLookup::Found
                ? check_signature_digest(read.digest.bytes, found, keyText.data(), uint32_t(keyText.size()))
                : -1;
        if (status != 0)
            return fail(EXIT_CHECK_FAILED, "attach-signature: signature bad under %s (status %d)", keyPath,
                        status);
    }
    store_be32(header.data(), component_crc(header, payloadCrc0, c.payloadLength));
    return write_at(output, 0, header.data(), header.size()) && commit_output(output) ? 0 : EXIT_USAGE;
}
