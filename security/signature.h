// Signature policy: whether a component may be booted or installed.
#pragma once

#include <cstdint>
#include <span>

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

// RSA/SHA-256 check of a found signature under one public key text (PEM or
// DER); 0 when good, else the crypto status.
int32_t check_component_signature(const ComponentSignature &sig, const uint8_t *keyText, uint32_t keyLength);

// 1 accept, 0 reject; prints its verdict without ending the line.
int verify_image_signature(std::span<const uint8_t> component);
int check_unsigned_image();
int is_developer_image();
