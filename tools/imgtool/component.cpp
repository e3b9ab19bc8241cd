// Building components: create, package, digest, attach-signature.
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "image/crc32.h"
#include "image/image_format.h"
#include "security/crypto/crypto.h"
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

bool crc_good(std::span<const uint8_t> component)
{
    return image_crc32(component.data() + CRC_OFFSET, uint32_t(component.size() - CRC_OFFSET), CRC_SEED) ==
           load_be32(component.data());
}

int check_crc(const char *path, const Component &c)
{
    if (crc_good(c.bytes))
        return 0;
    return fail(EXIT_CHECK_FAILED, "%s: bad CRC (stored 0x%08x, computed 0x%08x)", path,
                load_be32(c.bytes.data()),
                image_crc32(c.bytes.data() + CRC_OFFSET, uint32_t(c.bytes.size() - CRC_OFFSET), CRC_SEED));
}

std::span<const uint8_t> payload_of(const Component &c)
{
    return std::span<const uint8_t>(c.bytes).subspan(c.headerLength, c.payloadLength);
}

// Outputs are written only after every check: a failed command leaves no file.
int finish(const char *out, std::span<const uint8_t> data) { return write_file(out, data) ? 0 : EXIT_USAGE; }

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
    if (!read_file(path, out.bytes))
        return false;
    if (out.bytes.size() < COMPONENT_PROBE_SIZE) {
        fail(EXIT_USAGE, "%s: %zu bytes, too short for a component", path, out.bytes.size());
        return false;
    }
    const ParsedHeader h = parse_header(std::span<const uint8_t, COMPONENT_PROBE_SIZE>(out.bytes.data(), 24));
    if (!component_is_sound(h)) {
        fail(EXIT_USAGE, "%s: malformed header (header length %u, component length %u)", path, h.headerLength,
             component_length(h));
        return false;
    }
    if (component_length(h) != out.bytes.size()) {
        fail(EXIT_USAGE, "%s: header gives a component of %u bytes, the file has %zu", path,
             component_length(h), out.bytes.size());
        return false;
    }
    out.format = h.format;
    out.headerLength = h.headerLength;
    out.payloadLength = h.payloadLength;
    return true;
}

bool build_component(const ComponentSpec &want, std::span<const uint8_t> payload, Bytes &out)
{
    const size_t sigEntry = want.signature.empty() ? 0 : 6 + want.signature.size();
    size_t hdrlen = IMAGE_HEADER_SIZE;
    if (want.format == FORMAT_EXTENDED)
        hdrlen = HDR3_ENTRIES_OFFSET; // nothing after offset 24 is interpreted
    else if (want.format == FORMAT_HDR3)
        hdrlen = HDR3_ENTRIES_OFFSET + want.entries.size() + sigEntry;
    if (hdrlen > 0xFFFF || sigEntry > 0xFFFF) {
        fail(EXIT_USAGE, "header of %zu bytes does not fit its 16-bit length", hdrlen);
        return false;
    }
    const size_t total = hdrlen + payload.size();
    if (total > 0xFFFFFFFFu) {
        fail(EXIT_USAGE, "component of %zu bytes does not fit its 32-bit length", total);
        return false;
    }
    if (total < COMPONENT_PROBE_SIZE) {
        fail(EXIT_USAGE, "component of %zu bytes is shorter than the %u bytes every reader needs", total,
             COMPONENT_PROBE_SIZE);
        return false;
    }
    out.assign(total, 0);
    uint8_t *p = out.data();
    store_be32(p + 4, uint32_t(want.format == FORMAT_HDR3 ? total - 16 : payload.size()));
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
    if (!payload.empty())
        memcpy(p + hdrlen, payload.data(), payload.size());

    // Judge the result as a reader would: a plain payload that starts with the
    // marker turns the component into an HDR3 one.
    const ParsedHeader h =
        parse_header(std::span<const uint8_t, COMPONENT_PROBE_SIZE>(p, COMPONENT_PROBE_SIZE));
    if (h.format != want.format || component_length(h) != total) {
        fail(EXIT_USAGE, "payload begins with \"HDR3\": readers would take it for an HDR3 header "
                         "(use --format extended or hdr3)");
        return false;
    }
    store_be32(p, image_crc32(p + CRC_OFFSET, uint32_t(total - CRC_OFFSET), CRC_SEED));
    return true;
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

    Bytes payload, signature, component;
    std::string publicPem;
    if (!read_file(args.positional[0], payload))
        return EXIT_USAGE;
    if (key) {
        if (!sign_with_private_key(key, payload, signature, publicPem))
            return EXIT_USAGE;
        want.signature = signature;
    }
    if (!build_component(want, payload, component))
        return EXIT_USAGE;
    if (key) {
        // What the switch will do with it: a key it cannot take (say, over
        // 4096 bits) must not yield an image that no switch boots.
        ComponentSignature sig;
        if (find_component_signature(component, sig) != SignatureLookup::Found)
            return fail(EXIT_CHECK_FAILED, "create: the loader does not find the signature it was given");
        const int32_t status = check_component_signature(
            sig, reinterpret_cast<const uint8_t *>(publicPem.data()), uint32_t(publicPem.size()));
        if (status != 0)
            return fail(EXIT_CHECK_FAILED, "create: the loader rejects this signature (status %d)", status);
    }
    return finish(out, component);
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
    Bytes package;
    for (const char *path : args.positional) {
        Component c;
        if (!load_component(path, c))
            return EXIT_USAGE;
        if (const int status = check_crc(path, c))
            return status;
        package.insert(package.end(), c.bytes.begin(), c.bytes.end());
    }
    return finish(out, package);
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
    // Signing a damaged payload would bless the damage.
    if (const int status = check_crc(args.positional[0], c))
        return status;
    const std::span<const uint8_t> payload = payload_of(c);
    uint8_t digest[64];
    uint32_t length = 0;
    if (IMGSIGN_computeSHA256(payload.data(), payload.size(), digest, &length) != 0)
        return fail(EXIT_CHECK_FAILED, "digest: SHA-256 failed");
    for (uint32_t i = 0; i < length; i++)
        printf("%02x", digest[i]);
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
    Bytes signature, keyText, entries, component;
    if (!load_component(args.positional[0], c) || !read_file(args.positional[1], signature))
        return EXIT_USAGE;
    if (keyPath && !load_public_key(keyPath, keyText))
        return EXIT_USAGE;
    if (const int status = check_crc(args.positional[0], c))
        return status;
    if (signature.empty())
        return fail(EXIT_USAGE, "attach-signature: %s is empty", args.positional[1]);

    ComponentSpec want{};
    want.magic = load_be32(&c.bytes[8]);
    want.id = load_be32(&c.bytes[12]);
    want.format = FORMAT_HDR3;
    if (c.format == FORMAT_HDR3) {
        want.reserved = load_be16(&c.bytes[20]);
        EntryWalk walk =
            entry_walk_begin(std::span<const uint8_t>(c.bytes).first(c.headerLength), c.headerLength);
        HeaderEntry e;
        EntryWalkStatus status;
        while ((status = entry_walk_next(walk, e)) == EntryWalkStatus::Entry)
            if (e.tag != TAG_SIGNATURE)
                entries.insert(entries.end(), c.bytes.begin() + e.offset,
                               c.bytes.begin() + e.offset + e.length);
        if (status != EntryWalkStatus::End)
            return fail(EXIT_CHECK_FAILED, "attach-signature: %s: malformed header entries",
                        args.positional[0]);
    } else {
        want.magic = component_type(want.magic);
    }
    want.entries = entries;
    want.signature = signature;
    if (!build_component(want, payload_of(c), component))
        return EXIT_USAGE;
    if (keyPath) {
        ComponentSignature sig;
        const int32_t status = find_component_signature(component, sig) == SignatureLookup::Found
                                   ? check_component_signature(sig, keyText.data(), uint32_t(keyText.size()))
                                   : -1;
        if (status != 0)
            return fail(EXIT_CHECK_FAILED, "attach-signature: signature bad under %s (status %d)", keyPath,
                        status);
    }
    return finish(out, component);
}
