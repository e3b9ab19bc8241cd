// Arbitrary bytes as a downloaded package, installed as the TFTP rescue does,
// from /tmp/image of the throw-away board. The first byte picks the slot (1 or
// 2) and whether same versions are skipped; slot 0 would ask on the console
// and boot the image on the spot, which no fuzz run may do.
#include <unistd.h>

#include <string>

#include "fuzz/support.h"
#include "hw/flash.h"
#include "image/crc32.h"
#include "image/image_format.h"
#include "image/installer.h"
#include "platform/sim/sim_board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    fuzz_board_root();
    for (int fd : flashFd)
        fuzz_erase_partition(fd);
    for (const char *file : {"/user/images/image1", "/user/images/image2", "/user/images/uboot-hdr",
                             "/tmp/nos-image.gz", "/tmp/kalpaimage.tar.gz"})
        unlink(file);
    if (!sim_board_write_file("/tmp/image", {reinterpret_cast<const char *>(data) + 1, size - 1}))
        __builtin_trap();
    const int slot = 1 + (data[0] & 1);
    fuzzCommands.clear();
    install_package("/tmp/image", (data[0] >> 1) & 1, slot);

    // A slot only ever holds a whole component whose CRC holds, and installing runs nothing.
    std::string image;
    if (sim_board_read_file(slot == 1 ? "/user/images/image1" : "/user/images/image2", image)) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(image.data());
        if (image.size() < IMAGE_HEADER_SIZE ||
            image_crc32(bytes + CRC_OFFSET, static_cast<uint32_t>(image.size() - CRC_OFFSET), CRC_SEED) !=
                load_be32(bytes))
            __builtin_trap();
    }
    if (!fuzzCommands.empty())
        __builtin_trap();
    return 0;
}
