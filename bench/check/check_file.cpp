// The boot's read-and-check of an image file as a process of its own, so that
// its whole CPU time and peak memory can be set beside other programs run on
// the same file (bench/whole_process.py). It calls the loader's functions, from
// opening the file to the verdict; it never runs the loader. The key is given
// as a PEM file instead of the unit's key store.
// usage: imgl_check_file IMAGE PUBLIC_KEY.pem
#include <cstdio>
#include <memory>
#include <vector>

#include "image/component_read.h"
#include "image/image_format.h"
#include "security/crypto/crypto.h"
#include "security/signature.h"

namespace {

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

bool read_key(const char *path, std::vector<uint8_t> &text)
{
    File f(fopen(path, "rb"));
    uint8_t chunk[4096];
    size_t n;
    while (f && (n = fread(chunk, 1, sizeof chunk, f.get())) > 0)
        text.insert(text.end(), chunk, chunk + n);
    return f && !text.empty();
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<uint8_t> key;
    if (argc != 3 || !read_key(argv[2], key)) {
        fprintf(stderr, "usage: imgl_check_file IMAGE PUBLIC_KEY.pem\n");
        return 2;
    }
    CRYPTO_initialize();
    File in(fopen(argv[1], "rb"));
    BootComponent found;
    if (!in || !find_boot_component(in.get(), found)) {
        puts("no boot component");
        return 1;
    }
    const uint32_t length = found.headerLength + found.payloadLength;
    ComponentRead read;
    ComponentBuffer component = read_component_from(in.get(), length, read);
    if (!component || read.crc != load_be32(found.header)) {
        puts("crc bad");
        return 1;
    }
    ComponentSignature sig;
    if (find_component_signature({component.get(), length}, sig) != SignatureLookup::Found || !read.hashed ||
        read.digest.range.from != static_cast<uint64_t>(sig.signedRegion.data() - component.get())) {
        puts("no signature");
        return 1;
    }
    const int32_t status = check_signature_digest(read.digest.bytes, sig.signature, key.data(),
                                                  static_cast<uint32_t>(key.size()));
    printf("%s\n", status == 0 ? "signature verified" : "signature bad");
    return status == 0 ? 0 : 1;
}
