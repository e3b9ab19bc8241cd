#include "security/crypto/pem.h"

#include "security/crypto/base64.h"
#include "security/crypto/crypto.h"

int32_t pem_decode(std::span<const uint8_t> text, std::span<uint8_t> out, size_t *written)
{
    if (written == nullptr)
        return ERR_NULL_POINTER;
    *written = 0;
    if (out.size() < text.size())
        return ERR_BASE64_BAD_LENGTH;

    size_t collected = 0;
    bool lineStart = true;
    for (size_t pos = 0; pos < text.size(); ++pos) {
        const uint8_t c = text[pos];
        if (lineStart && c == '-') {
            while (pos < text.size() && text[pos] != '\n')
                ++pos;
            continue; // lineStart stays true: the loop step passes the LF
        }
        lineStart = c == '\n';
        if (c == ' ' || c == '\r' || c == '\n')
            continue;
        out[collected++] = c;
    }
    if (collected == 0)
        return ERR_BASE64_BAD_LENGTH;
    // Decoding in place is safe: each quad is read whole before its at most
    // three bytes are written, and those land before the next quad.
    return base64_decode(out.first(collected), out, written);
}
