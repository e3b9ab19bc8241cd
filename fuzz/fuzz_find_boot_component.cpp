// Arbitrary bytes as an image file: search for the boot component, read it
// as a boot would, check its CRC, walk its header entries and check its
// signature under a real public key, as the signature policy does.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "image/crc32.h"
#include "image/image_format.h"
#include "security/signature.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};

// Components are capped so a fuzzed length cannot ask for gigabytes.
constexpr uint32_t MAX_COMPONENT = 1u << 20;

bool inside(std::span<const uint8_t> v, const uint8_t *begin, const uint8_t *end)
{
    return v.empty() || (v.data() >= begin && v.data() + v.size() <= end);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    std::unique_ptr<FILE, FileCloser> f(fmemopen(const_cast<uint8_t *>(data), size, "rb"));
    if (!f)
        return 0;
    fflush(stdout);
    BootComponent bc;
    if (!find_boot_component(f.get(), bc))
        return 0;
    const uint32_t total = bc.headerLength + bc.payloadLength;
    if (total < CRC_OFFSET || bc.headerLength > total)
        __builtin_trap(); // a component through that no buffer of its length can hold
    if (total > MAX_COMPONENT)
        return 0;
    std::unique_ptr<uint8_t[]> comp(new uint8_t[total]);
    if (fread(comp.get(), 1, total, f.get()) != total)
        return 0;
    if (memcmp(comp.get(), bc.header, IMAGE_HEADER_SIZE) != 0)
        __builtin_trap();
    const uint32_t crc = image_crc32(comp.get() + CRC_OFFSET, total - CRC_OFFSET, CRC_SEED);
    if (crc != image_crc32_portable(comp.get() + CRC_OFFSET, total - CRC_OFFSET, CRC_SEED))
        __builtin_trap();
    // The header as the signature check sees it: hdrlen bytes of the component.
    const uint32_t hdrlen = bc.headerLength;
    EntryWalk walk = entry_walk_begin({comp.get(), hdrlen}, hdrlen);
    HeaderEntry e;
    while (entry_walk_next(walk, e) == EntryWalkStatus::Entry)
        if (!inside(e.value, comp.get(), comp.get() + hdrlen))
            __builtin_trap();
    std::span<const uint8_t> sig;
    if (find_signature_entry({comp.get(), total}, hdrlen, sig) &&
        sig.data() + sig.size() > comp.get() + hdrlen)
        __builtin_trap();

    const std::span<const uint8_t> whole(comp.get(), total);
    ComponentSignature cs;
    if (find_component_signature(whole, cs) == SignatureLookup::Found) {
        if (!inside(cs.signedRegion, comp.get(), comp.get() + total) ||
            !inside(cs.signature, comp.get(), comp.get() + total))
            __builtin_trap();
        static const std::string key = [] {
            std::ifstream f(IMGL_FUZZ_KEY, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(f), {});
        }();
        check_component_signature(cs, reinterpret_cast<const uint8_t *>(key.data()),
                                  static_cast<uint32_t>(key.size()));
    }
    return 0;
}
