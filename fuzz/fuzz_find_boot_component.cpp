// Arbitrary bytes as an image file: search for the boot component, read it
// as a boot would, check its CRC, walk its header entries and check its
// signature under a real public key, as the signature policy does.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "image/crc32.h"
#include "image/image_format.h"
#include "security/signature.h"

namespace {

// Components are capped so a fuzzed length cannot ask for gigabytes.
constexpr uint32_t MAX_COMPONENT = 1u << 20;

bool inside(std::span<const uint8_t> v, const std::vector<uint8_t> &comp, size_t end)
{
    return v.empty() || (v.data() >= comp.data() && v.data() + v.size() <= comp.data() + end);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::unique_ptr<FILE, int (*)(FILE *)> f(
        size ? fmemopen(const_cast<uint8_t *>(data), size, "rb") : nullptr, fclose);
    if (!f)
        return 0;
    fflush(stdout);
    BootComponent bc;
    if (!find_boot_component(f.get(), bc))
        return 0;
    const uint32_t total = bc.headerLength + bc.payloadLength, hdrlen = bc.headerLength;
    if (total < CRC_OFFSET || hdrlen > total)
        __builtin_trap(); // a component through that no buffer of its length can hold
    std::vector<uint8_t> comp(total <= MAX_COMPONENT ? total : 0);
    if (comp.empty() || fread(comp.data(), 1, total, f.get()) != total)
        return 0;
    if (memcmp(comp.data(), bc.header, IMAGE_HEADER_SIZE) != 0 ||
        image_crc32(&comp[CRC_OFFSET], total - CRC_OFFSET, CRC_SEED) !=
            image_crc32_portable(&comp[CRC_OFFSET], total - CRC_OFFSET, CRC_SEED))
        __builtin_trap();
    // The header as the signature check sees it: hdrlen bytes of the component.
    EntryWalk walk = entry_walk_begin({comp.data(), hdrlen}, hdrlen);
    HeaderEntry e;
    while (entry_walk_next(walk, e) == EntryWalkStatus::Entry)
        if (!inside(e.value, comp, hdrlen))
            __builtin_trap();
    std::span<const uint8_t> sig;
    if (find_signature_entry(comp, hdrlen, sig) && !inside(sig, comp, hdrlen))
        __builtin_trap();
    ComponentSignature cs;
    if (find_component_signature(comp, cs) == SignatureLookup::Found) {
        if (!inside(cs.signedRegion, comp, total) || !inside(cs.signature, comp, total))
            __builtin_trap();
        static const std::string key = [] {
            std::ifstream in(IMGL_FUZZ_KEY, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        }();
        check_component_signature(cs, reinterpret_cast<const uint8_t *>(key.data()),
                                  static_cast<uint32_t>(key.size()));
    }
    return 0;
}
