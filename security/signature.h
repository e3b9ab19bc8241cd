// Signature policy: whether a component may be booted or installed.
#pragma once

#include <cstdint>
#include <span>

#include "image/image_format.h"
#include "security/crypto/crypto.h"

// Where a component's signature and the bytes it covers lie; both views are
// inside the component.
struct ComponentSignature {
    std::span<const uint8_t> signedRegion; // the payload: header length to the component's end
    std::span<const uint8_t> signature;    // from the last signature entry
};

enum class SignatureLookup {
    Found,
    Unsigned,  // no HDR3 header, or no signature entry
    Malformed, // entry, signature length or signed region outside the component
};

// component: the whole component as read (header followed by payload).
SignatureLookup find_component_signature(std::span<const uint8_t> component, ComponentSignature &out);

// Offsets in the component of the bytes a signature covers.
struct SignedRange {
    bool present; // false: the lookup will find no signed region
    uint64_t from;
    uint64_t to;
};

// Where find_component_signature will put the signed region of a component
// of componentSize bytes, from its first 24 bytes alone, so that a reader can
// hash the region as it reads.
SignedRange signed_range(std::span<const uint8_t, COMPONENT_PROBE_SIZE> first, uint64_t componentSize);

// The header holds at most a u16's worth of bytes.
inline constexpr size_t SIGNATURE_HEAD_MAX = 0x10000;

// The lookup of find_component_signature for a component that is not in
// memory: head holds its first min(componentSize, SIGNATURE_HEAD_MAX) bytes.
// signature points into head.
SignatureLookup locate_component_signature(std::span<const uint8_t> head, uint64_t componentSize,
                                           std::span<const uint8_t> &signature, SignedRange &range);

// The SHA-256 of a signed range, computed while the component was read.
struct RangeDigest {
    SignedRange range;
    uint8_t bytes[SHA256_DIGEST_SIZE];
};

// RSA/SHA-256 check of a found signature under one public key text (PEM or
// DER); 0 when good, else the crypto status.
int32_t check_component_signature(const ComponentSignature &sig, const uint8_t *keyText, uint32_t keyLength);
// The same check for a signed region already hashed.
int32_t check_signature_digest(const uint8_t (&digest)[SHA256_DIGEST_SIZE],
                               std::span<const uint8_t> signature, const uint8_t *keyText,
                               uint32_t keyLength);

// 1 accept, 0 reject; prints its verdict without ending the line. known: the
// digest of the signed region, when the caller hashed it while reading; it
// is used only when its range is the one the lookup finds.
int verify_image_signature(std::span<const uint8_t> component, const RangeDigest *known = nullptr);
int check_unsigned_image();
int is_developer_image();
