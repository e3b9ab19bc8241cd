// A small strict DER reader (X.690 distinguished encoding only). Every call
// takes the next element off the front of `in`; nothing reads past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr int32_t ERR_DER_TRUNCATED = -7501;
constexpr int32_t ERR_DER_BAD_LENGTH = -7502;
constexpr int32_t ERR_DER_UNEXPECTED_TAG = -7503;
constexpr int32_t ERR_DER_BAD_INTEGER = -7504;
constexpr int32_t ERR_DER_BAD_BIT_STRING = -7505;
constexpr int32_t ERR_DER_TRAILING_DATA = -7506;
constexpr int32_t ERR_DER_BAD_NULL = -7507;
constexpr int32_t ERR_DER_UNKNOWN_ALGORITHM = -7508;
constexpr int32_t ERR_DER_BAD_KEY = -7509;

constexpr uint8_t DER_TAG_INTEGER = 0x02;
constexpr uint8_t DER_TAG_BIT_STRING = 0x03;
constexpr uint8_t DER_TAG_OCTET_STRING = 0x04;
constexpr uint8_t DER_TAG_NULL = 0x05;
constexpr uint8_t DER_TAG_OID = 0x06;
constexpr uint8_t DER_TAG_SEQUENCE = 0x30;

struct DerElement {
    uint8_t tag;
    std::span<const uint8_t> content;
};

// Any single-byte tag; multi-byte tags are refused (none occur in keys or
// DigestInfo). Lengths must use the shortest form and fit the input.
int32_t der_read_element(std::span<const uint8_t> &in, DerElement *element);

// Next element must carry `tag`; its content is returned.
int32_t der_read_tagged(std::span<const uint8_t> &in, uint8_t tag, std::span<const uint8_t> *content);

// A non-negative INTEGER in minimal form; `magnitude` drops the sign byte.
int32_t der_read_unsigned_integer(std::span<const uint8_t> &in, std::span<const uint8_t> *magnitude);

// A BIT STRING with no unused bits; `octets` is its content after that byte.
int32_t der_read_bit_string_octets(std::span<const uint8_t> &in, std::span<const uint8_t> *octets);

// A NULL, which must have empty content.
int32_t der_read_null(std::span<const uint8_t> &in);

// OK when `in` is fully consumed.
int32_t der_expect_end(std::span<const uint8_t> in);

bool der_oid_equals(std::span<const uint8_t> oidContent, std::span<const uint8_t> expected);
