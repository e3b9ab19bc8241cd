#include "security/signature.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "image/component_read.h"
#include "image/image_format.h"
#include "platform/platform.h"
#include "rescue/console.h"
#include "security/crypto/crypto.h"
#include "security/keystore.h"
#include "security/lowsec.h"

namespace {

constexpr const char *RFS_DEVICE = "/dev/mtd-rfs";
constexpr uint32_t MARKER_OFFSET = 16;
constexpr uint32_t HDRLEN_OFFSET = 22;
constexpr uint32_t LEN_OFFSET = 4;
// Above any flash partition: a wilder len is a corrupt header, not a reason to allocate.
constexpr uint64_t RFS_READ_MAX = 64u << 20;

bool developerDetermined = false;
int developerAnswer = 0;

struct Digest {
    uint8_t bytes[64];
    uint32_t length;
};

// Takes the digest made while reading when it covers the region found.
int32_t digest_signed_region(std::span<const uint8_t> component, const ComponentSignature &sig,
                             const RangeDigest *known, Digest &digest)
{
    const uint64_t from = static_cast<uint64_t>(sig.signedRegion.data() - component.data());
    if (known && known->range.present && known->range.from == from &&
        known->range.to == from + sig.signedRegion.size()) {
        memset(digest.bytes, 0, sizeof digest.bytes);
        memcpy(digest.bytes, known->bytes, SHA256_DIGEST_SIZE);
        digest.length = SHA256_DIGEST_SIZE;
        return OK;
    }
    return IMGSIGN_computeSHA256(sig.signedRegion.data(), sig.signedRegion.size(), digest.bytes,
                                 &digest.length);
}

int32_t check_digest(const Digest &digest, const ComponentSignature &sig, const uint8_t *keyText,
                     uint32_t keyLength)
{
    return IMGSIGN_verifySignature(digest.bytes, digest.length, sig.signature.data(),
                                   static_cast<uint32_t>(sig.signature.size()), keyText, keyLength);
}

int32_t check_digest(const Digest &digest, const ComponentSignature &sig, const KeyRecord &key)
{
    return check_digest(digest, sig, key.text, key.length);
}

void print_hash_failure(int32_t rc) { printf("HASH calculation for signed image failed: rc = %d \n", rc); }

struct PlatFd {
    int fd;
    ~PlatFd()
    {
        if (fd >= 0)
            plat_close(fd);
    }
};

} // namespace

SignedRange signed_range(std::span<const uint8_t, COMPONENT_PROBE_SIZE> first, uint64_t componentSize)
{
    if (load_be32(&first[MARKER_OFFSET]) != HDR3_MARKER)
        return {false, 0, 0};
    const uint64_t hdrlen = load_be16(&first[HDRLEN_OFFSET]);
    const uint64_t end = uint64_t{load_be32(&first[LEN_OFFSET])} + IMAGE_HEADER_SIZE;
    // The signed region runs from hdrlen to the component's end, both inside it.
    if (end > componentSize || hdrlen > end)
        return {false, 0, 0};
    return {true, hdrlen, end};
}

SignatureLookup locate_component_signature(std::span<const uint8_t> head, uint64_t componentSize,
                                           std::span<const uint8_t> &signature, SignedRange &range)
{
    if (componentSize < COMPONENT_PROBE_SIZE || head.size() < COMPONENT_PROBE_SIZE)
        return SignatureLookup::Malformed;
    const auto first = head.first<COMPONENT_PROBE_SIZE>();
    if (load_be32(&first[MARKER_OFFSET]) != HDR3_MARKER)
        return SignatureLookup::Unsigned;
    range = signed_range(first, componentSize);
    // hdrlen is below SIGNATURE_HEAD_MAX, so a head of that much holds the header.
    if (!range.present || range.from > head.size())
        return SignatureLookup::Malformed;

    const uint32_t hdrlen = static_cast<uint32_t>(range.from);
    EntryWalk walk = entry_walk_begin(head.first(hdrlen), hdrlen);
    HeaderEntry e;
    std::span<const uint8_t> last;
    bool found = false;
    for (EntryWalkStatus s; (s = entry_walk_next(walk, e)) != EntryWalkStatus::End;) {
        if (s == EntryWalkStatus::ZeroLength)
            break; // the walk stops there; what came before still counts
        if (s == EntryWalkStatus::Overrun)
            return SignatureLookup::Malformed;
        if (e.tag == TAG_SIGNATURE) {
            last = e.value;
            found = true;
        }
    }
    if (!found)
        return SignatureLookup::Unsigned;
    if (last.size() < 2 || load_be16(last.data()) > last.size() - 2)
        return SignatureLookup::Malformed;
    signature = last.subspan(2, load_be16(last.data()));
    return SignatureLookup::Found;
}

SignatureLookup find_component_signature(std::span<const uint8_t> component, ComponentSignature &out)
{
    std::span<const uint8_t> signature;
    SignedRange range;
    const SignatureLookup found = locate_component_signature(
        component.first(std::min(component.size(), SIGNATURE_HEAD_MAX)), component.size(), signature, range);
    if (found == SignatureLookup::Found) {
        out.signature = signature;
        out.signedRegion = component.subspan(range.from, range.to - range.from);
    }
    return found;
}

int32_t check_component_signature(const ComponentSignature &sig, const uint8_t *keyText, uint32_t keyLength)
{
    Digest digest;
    const int32_t rc =
        IMGSIGN_computeSHA256(sig.signedRegion.data(), sig.signedRegion.size(), digest.bytes, &digest.length);
    return rc != OK ? rc : check_digest(digest, sig, keyText, keyLength);
}

int32_t check_signature_digest(const uint8_t (&digest)[SHA256_DIGEST_SIZE],
                               std::span<const uint8_t> signature, const uint8_t *keyText, uint32_t keyLength)
{
    return IMGSIGN_verifySignature(digest, SHA256_DIGEST_SIZE, signature.data(),
                                   static_cast<uint32_t>(signature.size()), keyText, keyLength);
}

int is_developer_image()
{
    if (developerDetermined)
        return developerAnswer;
    // Through the platform seam, so that a failing partition read is seen as one.
    const PlatFd rfs{plat_open(RFS_DEVICE, O_RDONLY)};
    if (rfs.fd < 0)
        return 0;
    uint8_t first[COMPONENT_PROBE_SIZE] = {};
    // An unreadable header says nothing about the root filesystem: fail closed, try again later.
    if (pread_upto(rfs.fd, first, sizeof first, 0) != sizeof first)
        return 0;
    if (load_be32(&first[MARKER_OFFSET]) != HDR3_MARKER) {
        developerDetermined = true;
        developerAnswer = 1; // no signed header: a developer root filesystem
        return 1;
    }
    const uint64_t length = uint64_t{load_be32(&first[LEN_OFFSET])} + IMAGE_HEADER_SIZE;
    if (length > RFS_READ_MAX)
        return 0;
    const size_t size = static_cast<size_t>(length);
    ComponentBuffer component = alloc_component_buffer(size);
    ComponentRead read;
    if (!component || read_component(rfs.fd, 0, component.get(), size, read) != size)
        return 0;
    const std::span<const uint8_t> bytes(component.get(), size);

    ComponentSignature sig;
    if (find_component_signature(bytes, sig) != SignatureLookup::Found)
        return 0;
    Digest digest;
    if (const int32_t rc = digest_signed_region(bytes, sig, read.hashed ? &read.digest : nullptr, digest);
        rc != OK) {
        print_hash_failure(rc);
        return 0;
    }
    KeyRecord key;
    if (!load_system_key(&key, DEVELOPMENT_KEY_PATH))
        return 0;
    developerAnswer = check_digest(digest, sig, key) == OK ? 1 : 0;
    developerDetermined = true;
    return developerAnswer;
}

int check_unsigned_image()
{
    const int developer = is_developer_image();
    const int lowSecurity = is_low_security_mode();
    if (developer && lowSecurity) {
        puts(
            "\nWARNING: Image is unsigned but you are running developer images and are in low security mode");
        return console_confirm("Install image anyway?", 0);
    }
    puts(" Image rejected as it has no signature");
    return 0;
}

int verify_image_signature(std::span<const uint8_t> component, const RangeDigest *known)
{
    const int lowSecurity = is_low_security_mode();
    ComponentSignature sig;
    int32_t status = -1;
    switch (find_component_signature(component, sig)) {
    case SignatureLookup::Unsigned:
        return check_unsigned_image();
    case SignatureLookup::Malformed:
        break; // rejected below, nothing outside the component read
    case SignatureLookup::Found: {
        Digest digest;
        if (const int32_t rc = digest_signed_region(component, sig, known, digest); rc != OK) {
            print_hash_failure(rc);
            return 0;
        }
        KeyRecord key;
        if (!load_system_key(&key, PRODUCTION_KEY_PATH))
            return 0;
        status = check_digest(digest, sig, key);
        if (status == OK)
            break;
        const int developer = is_developer_image();
        if (developer || lowSecurity) {
            puts(developer ? "\nNOTE - developer images operational. Checking developer keys...."
                           : "\nNOTE - low security mode is operational. Checking developer keys....");
            if (!load_system_key(&key, DEVELOPMENT_KEY_PATH))
                return 0;
            status = check_digest(digest, sig, key);
        }
        if (status != OK && developer && lowSecurity) {
            puts("\nWARNING: All checks failed but you are running developer images and are in low security "
                 "mode");
            status = console_confirm("Install image anyway?", 0) ? OK : -1;
        }
        break;
    }
    }
    fputs(status == OK ? " Image signature verified. " : " Image rejected. ", stdout);
    fflush(stdout);
    return status == OK ? 1 : 0;
}
