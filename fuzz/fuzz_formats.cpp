// Arbitrary bytes for the format readers. The first byte picks one (mod 6):
// 0 PEM, 1 base64 key body, 2 DER walk, 3 public key (PEM or DER),
// 4 signature check (one byte of digest length mod 65, the digest, two bytes
// of signature length big-endian, the signature, the rest as key text; the
// signature also goes to the block parser, which a random one hardly reaches),
// 5 an image file: the boot component searched and read as a boot would, its
// CRC, header entries and signature (under a real public key) checked.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "image/crc32.h"
#include "image/image_format.h"
#include "security/crypto/base64.h"
#include "security/crypto/crypto.h"
#include "security/crypto/der.h"
#include "security/crypto/pem.h"
#include "security/crypto/rsa.h"
#include "security/signature.h"

namespace {

using Bytes = std::span<const uint8_t>;

bool inside(Bytes part, Bytes whole)
{
    return part.empty() ||
           (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void pem(Bytes in)
{
    std::vector<uint8_t> out(in.size());
    size_t written = 0;
    const int32_t status = pem_decode(in, out, &written);
    if (status > 0 || (status == OK ? written * 4 > in.size() * 3 || written == 0 : written != 0))
        abort();
}

// The decoder is strict: a text it accepts is the one canonical encoding of what it decoded.
void base64(Bytes in)
{
    std::vector<uint8_t> out(base64_decoded_capacity(in.size())); // exactly the room promised
    size_t written = 0;
    if (base64_decode(in, out, &written) != OK)
        return;
    if (written > out.size())
        abort();
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0, n = written; i < n; i += 3) {
        const uint32_t v = out[i] << 16 | (i + 1 < n ? out[i + 1] << 8 : 0) | (i + 2 < n ? out[i + 2] : 0);
        for (size_t k = 0; k < 4; ++k)
            text += k <= n - i ? alphabet[(v >> (18 - 6 * k)) & 63] : '=';
    }
    if (text != std::string(in.begin(), in.end()))
        abort();
}

// Element by element, constructed ones opened at most 8 deep, the typed readers tried on each.
void der_walk(Bytes in, int depth)
{
    const Bytes all = in;
    DerElement e{};
    for (Bytes start = in; !in.empty() && der_read_element(in, &e) == OK; start = in) {
        const Bytes one = start.first(start.size() - in.size());
        if (!inside(e.content, one) || !inside(in, all))
            abort();
        Bytes a = one, b = one, c = one, out;
        if ((der_read_unsigned_integer(a, &out) == OK && !inside(out, e.content)) ||
            (der_read_bit_string_octets(b, &out) == OK && !inside(out, e.content)))
            abort();
        der_read_null(c);
        if ((e.tag & 0x20) && depth < 8)
            der_walk(e.content, depth + 1);
    }
}

void der(Bytes in)
{
    der_walk(in, 0);
    AsymKeyPtr key(asym_key_create());
    if (key && rsa_parse_public_key(in, key.get()) > 0)
        abort();
}

// An accepted key is a usable one: odd modulus of the recorded length.
void public_key(Bytes in)
{
    AsymKeyPtr key(asym_key_create());
    if (!key)
        return;
    const int32_t status = CA_MGMT_convertPublicKey(in.data(), static_cast<uint32_t>(in.size()), key.get());
    if (status > 0 || (status == 0 && key->modulusLength == 0))
        abort();
    if (status == 0 && key->modulusLength <= RSA_MAX_MODULUS_BYTES &&
        ((bigint_bit_length(&key->modulus) + 7) / 8 != key->modulusLength || !bigint_is_odd(&key->modulus) ||
         !bigint_is_odd(&key->exponent)))
        abort();
}

void signature(Bytes in)
{
    auto take = [&in](size_t count) {
        const Bytes part = in.first(count < in.size() ? count : in.size());
        in = in.subspan(part.size());
        return part;
    };
    if (in.size() < 3)
        return;
    const Bytes digest = take(take(1)[0] % 65);
    const Bytes length = take(2);
    const Bytes sig = take(length.size() == 2 ? (length[0] << 8 | length[1]) : 0);
    static const uint8_t nothing = 0; // empty parts still need a pointer
    auto ptr = [](Bytes part) { return part.empty() ? &nothing : part.data(); };
    if (IMGSIGN_verifySignature(ptr(digest), static_cast<uint32_t>(digest.size()), ptr(sig),
                                static_cast<uint32_t>(sig.size()), ptr(in),
                                static_cast<uint32_t>(in.size())) > 0 ||
        rsa_check_pkcs1_block(sig, digest) > 0)
        abort();
}

void image(Bytes in)
{
    constexpr uint32_t MAX_COMPONENT = 1u << 20; // so a fuzzed length cannot ask for gigabytes
    std::unique_ptr<FILE, int (*)(FILE *)> f(
        in.empty() ? nullptr : fmemopen(const_cast<uint8_t *>(in.data()), in.size(), "rb"), fclose);
    fflush(stdout);
    BootComponent bc;
    if (!f || !find_boot_component(f.get(), bc))
        return;
    const uint32_t total = bc.headerLength + bc.payloadLength, hdrlen = bc.headerLength;
    if (total < CRC_OFFSET || hdrlen > total)
        __builtin_trap(); // a component through that no buffer of its length can hold
    std::vector<uint8_t> comp(total <= MAX_COMPONENT ? total : 0);
    if (comp.empty() || fread(comp.data(), 1, total, f.get()) != total)
        return;
    const Bytes whole(comp), header = whole.first(hdrlen);
    if (memcmp(comp.data(), bc.header, IMAGE_HEADER_SIZE) != 0 ||
        image_crc32(&comp[CRC_OFFSET], total - CRC_OFFSET, CRC_SEED) !=
            image_crc32_portable(&comp[CRC_OFFSET], total - CRC_OFFSET, CRC_SEED))
        __builtin_trap();
    // The header as the signature check sees it: hdrlen bytes of the component.
    EntryWalk walk = entry_walk_begin(header, hdrlen);
    HeaderEntry e;
    while (entry_walk_next(walk, e) == EntryWalkStatus::Entry)
        if (!inside(e.value, header))
            __builtin_trap();
    Bytes sig;
    if (find_signature_entry(whole, hdrlen, sig) && !inside(sig, header))
        __builtin_trap();
    ComponentSignature cs;
    if (find_component_signature(whole, cs) != SignatureLookup::Found)
        return;
    if (!inside(cs.signedRegion, whole) || !inside(cs.signature, whole))
        __builtin_trap();
    static const std::string key = [] {
        std::ifstream file(IMGL_FUZZ_KEY, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }();
    check_component_signature(cs, reinterpret_cast<const uint8_t *>(key.data()),
                              static_cast<uint32_t>(key.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > UINT32_MAX)
        return 0;
    static void (*const readers[])(Bytes) = {pem, base64, der, public_key, signature, image};
    readers[data[0] % 6]({data + 1, size - 1});
    return 0;
}
