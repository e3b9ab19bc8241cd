// PEM text framing: marker lines and whitespace around a base64 body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Decodes the base64 body of `text` into `out`, which must hold text.size()
// bytes (it also serves as scratch for the collected characters). Lines that
// begin with '-' are skipped whatever their label; spaces, CR and LF between
// base64 runs are dropped. Any other status than OK means "not PEM".
int32_t pem_decode(std::span<const uint8_t> text, std::span<uint8_t> out, size_t *written);
