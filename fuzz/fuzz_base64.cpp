// Arbitrary bytes as a base64 key body. The decoder is strict, so a text it
// accepts is the one canonical encoding of what it decoded.
#include <cstdlib>
#include <string>
#include <vector>

#include "security/crypto/base64.h"
#include "security/crypto/crypto.h"

namespace {

std::string encode(const uint8_t *p, size_t n)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t v = p[i] << 16 | (i + 1 < n ? p[i + 1] << 8 : 0) | (i + 2 < n ? p[i + 2] : 0);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += i + 1 < n ? alphabet[(v >> 6) & 63] : '=';
        out += i + 2 < n ? alphabet[v & 63] : '=';
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<uint8_t> out(base64_decoded_capacity(size)); // exactly the room promised
    size_t written = 0;
    if (base64_decode({data, size}, out, &written) != OK)
        return 0;
    if (written > out.size() || encode(out.data(), written) != std::string(data, data + size))
        abort();
    return 0;
}
