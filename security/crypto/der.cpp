#include "security/crypto/der.h"

#include <cstring>

#include "security/crypto/crypto.h"

int32_t der_read_element(std::span<const uint8_t> &in, DerElement *element)
{
    if (element == nullptr)
        return ERR_NULL_POINTER;
    if (in.size() < 2)
        return ERR_DER_TRUNCATED;
    const uint8_t tag = in[0];
    if ((tag & 0x1F) == 0x1F)
        return ERR_DER_UNEXPECTED_TAG;

    size_t length = in[1];
    size_t header = 2;
    if (length & 0x80) {
        const size_t count = length & 0x7F;
        // 0x80 is the indefinite form; more than 4 length bytes cannot fit anyway.
        if (count == 0 || count > 4)
            return ERR_DER_BAD_LENGTH;
        if (in.size() < 2 + count)
            return ERR_DER_TRUNCATED;
        if (in[2] == 0)
            return ERR_DER_BAD_LENGTH; // leading zero byte: not minimal
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = (length << 8) | in[2 + i];
        if (length < 0x80)
            return ERR_DER_BAD_LENGTH; // short form was required
        header += count;
    }
    if (length > in.size() - header)
        return ERR_DER_TRUNCATED;
    element->tag = tag;
    element->content = in.subspan(header, length);
    in = in.subspan(header + length);
    return OK;
}

int32_t der_read_tagged(std::span<const uint8_t> &in, uint8_t tag, std::span<const uint8_t> *content)
{
    std::span<const uint8_t> rest = in;
    DerElement element{};
    const int32_t status = der_read_element(rest, &element);
    if (status != OK)
        return status;
    if (element.tag != tag)
        return ERR_DER_UNEXPECTED_TAG;
    *content = element.content;
    in = rest;
    return OK;
}

int32_t der_read_unsigned_integer(std::span<const uint8_t> &in, std::span<const uint8_t> *magnitude)
{
    std::span<const uint8_t> rest = in, content;
    const int32_t status = der_read_tagged(rest, DER_TAG_INTEGER, &content);
    if (status != OK)
        return status;
    if (content.empty() || (content[0] & 0x80))
        return ERR_DER_BAD_INTEGER; // empty or negative
    if (content.size() > 1 && content[0] == 0x00) {
        if (!(content[1] & 0x80))
            return ERR_DER_BAD_INTEGER; // superfluous leading zero
        content = content.subspan(1);
    }
    *magnitude = content;
    in = rest;
    return OK;
}

int32_t der_read_bit_string_octets(std::span<const uint8_t> &in, std::span<const uint8_t> *octets)
{
    std::span<const uint8_t> rest = in, content;
    const int32_t status = der_read_tagged(rest, DER_TAG_BIT_STRING, &content);
    if (status != OK)
        return status;
    if (content.empty() || content[0] != 0)
        return ERR_DER_BAD_BIT_STRING;
    *octets = content.subspan(1);
    in = rest;
    return OK;
}

int32_t der_read_null(std::span<const uint8_t> &in)
{
    std::span<const uint8_t> rest = in, content;
    const int32_t status = der_read_tagged(rest, DER_TAG_NULL, &content);
    if (status != OK)
        return status;
    if (!content.empty())
        return ERR_DER_BAD_NULL;
    in = rest;
    return OK;
}

int32_t der_expect_end(std::span<const uint8_t> in) { return in.empty() ? OK : ERR_DER_TRAILING_DATA; }

bool der_oid_equals(std::span<const uint8_t> oidContent, std::span<const uint8_t> expected)
{
    return oidContent.size() == expected.size() &&
           (expected.empty() || std::memcmp(oidContent.data(), expected.data(), expected.size()) == 0);
}
