#include "security/crypto/base64.h"

#include "security/crypto/crypto.h"

namespace {

const char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Entry = alphabet value + 1, so 0 marks a character outside the alphabet.
uint8_t decodeTable[256];
bool tableReady = false;

} // namespace

int32_t base64_init_table()
{
    for (uint8_t &entry : decodeTable)
        entry = 0;
    for (int value = 0; value < 64; ++value)
        decodeTable[static_cast<uint8_t>(ALPHABET[value])] = static_cast<uint8_t>(value + 1);
    tableReady = true;
    return OK;
}

int32_t base64_decode(std::span<const uint8_t> text, std::span<uint8_t> out, size_t *written)
{
    if (written == nullptr)
        return ERR_NULL_POINTER;
    *written = 0;
    if (!tableReady)
        base64_init_table();
    if (text.size() % 4 != 0)
        return ERR_BASE64_BAD_LENGTH;
    if (out.size() < base64_decoded_capacity(text.size()))
        return ERR_BASE64_BAD_LENGTH;

    size_t produced = 0;
    for (size_t pos = 0; pos < text.size(); pos += 4) {
        const bool lastQuad = pos + 4 == text.size();
        uint32_t bits = 0;
        int padding = 0;
        for (int i = 0; i < 4; ++i) {
            const uint8_t c = text[pos + i];
            if (c == '=') {
                // Padding only in the last quad, in its last one or two places.
                if (!lastQuad || i < 2)
                    return ERR_BASE64_BAD_PADDING;
                ++padding;
                bits <<= 6;
                continue;
            }
            if (padding != 0)
                return ERR_BASE64_BAD_PADDING;
            const uint8_t entry = decodeTable[c];
            if (entry == 0)
                return ERR_BASE64_BAD_CHARACTER;
            bits = (bits << 6) | static_cast<uint32_t>(entry - 1);
        }
        // Bits below the last full byte must be zero, else two texts decode alike.
        if ((padding == 1 && (bits & 0xFFu) != 0) || (padding == 2 && (bits & 0xFFFFu) != 0))
            return ERR_BASE64_BAD_PADDING;
        out[produced++] = static_cast<uint8_t>(bits >> 16);
        if (padding < 2)
            out[produced++] = static_cast<uint8_t>(bits >> 8);
        if (padding < 1)
            out[produced++] = static_cast<uint8_t>(bits);
    }
    *written = produced;
    return OK;
}
