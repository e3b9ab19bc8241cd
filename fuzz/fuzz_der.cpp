// Arbitrary bytes as DER: walked element by element (constructed ones opened,
// at most 8 deep) with the typed readers tried on each, then as a public key.
#include <cstdlib>

#include "security/crypto/der.h"
#include "security/crypto/rsa.h"

namespace {

bool inside(std::span<const uint8_t> part, std::span<const uint8_t> whole)
{
    return part.empty() ||
           (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void walk(std::span<const uint8_t> in, int depth)
{
    const std::span<const uint8_t> all = in;
    DerElement e{};
    for (std::span<const uint8_t> start = in; !in.empty() && der_read_element(in, &e) == OK; start = in) {
        const std::span<const uint8_t> one = start.first(start.size() - in.size());
        if (!inside(e.content, one) || !inside(in, all))
            abort();
        std::span<const uint8_t> a = one, b = one, c = one, out;
        if ((der_read_unsigned_integer(a, &out) == OK && !inside(out, e.content)) ||
            (der_read_bit_string_octets(b, &out) == OK && !inside(out, e.content)))
            abort();
        der_read_null(c);
        if ((e.tag & 0x20) && depth < 8)
            walk(e.content, depth + 1);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    walk({data, size}, 0);
    AsymKeyPtr key(asym_key_create());
    if (key && rsa_parse_public_key({data, size}, key.get()) > 0)
        abort();
    return 0;
}
