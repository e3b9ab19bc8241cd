// Strict RFC 4648 base64 decoding for key texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

constexpr int32_t ERR_BASE64_BAD_CHARACTER = -7401;
constexpr int32_t ERR_BASE64_BAD_LENGTH = -7402;
constexpr int32_t ERR_BASE64_BAD_PADDING = -7403;

// Builds the decoding table (entries: alphabet value + 1, 0 outside it);
// decoding builds it on first use as well. The table is static, so the
// out-of-memory status (-6101) never arises.
int32_t base64_init_table();

// Largest output base64_decode can produce for an input of `length` characters.
constexpr size_t base64_decoded_capacity(size_t length) { return length / 4 * 3; }

// Decodes `text` (no whitespace, '=' padding required) into `out`, which must
// hold base64_decoded_capacity(text.size()) bytes. `*written` gets the count.
int32_t base64_decode(std::span<const uint8_t> text, std::span<uint8_t> out, size_t *written);
