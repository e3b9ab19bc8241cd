// Arbitrary bytes as the boot loader's environment on its flash partition. The
// first byte chooses whether the partition ends right after them (a short
// read) or goes on erased; the options read through the flash must be those of
// the same text handed over directly.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "boot/boot_options.h"
#include "fuzz/support.h"
#include "hw/flash.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size - 1 > BOOT_ENV_SIZE)
        return 0;
    fuzz_board_root();
    const bool shortPartition = data[0] & 1;
    const int fd = flashFd[UBOOTENV];
    struct stat st;
    if (fstat(fd, &st) != 0)
        __builtin_trap();
    fuzz_erase_partition(fd);
    const uint8_t crc[BOOT_ENV_OFFSET] = {0x12, 0x34, 0x56, 0x78};
    if (pwrite(fd, crc, sizeof crc, 0) != sizeof crc ||
        pwrite(fd, data + 1, size - 1, BOOT_ENV_OFFSET) != static_cast<ssize_t>(size - 1) ||
        (shortPartition && ftruncate(fd, static_cast<off_t>(BOOT_ENV_OFFSET + size - 1)) != 0))
        __builtin_trap();

    bootOptions = {-1, -1, -1, 0xAA, 0xAA, -1, -1, -1}; // values no parse can leave
    parse_boot_options();
    const BootOptions got = bootOptions;

    std::string text(BOOT_ENV_SIZE, shortPartition ? ' ' : '\xff');
    memcpy(text.data(), data + 1, size - 1);
    for (char *c = text.data(), *end = c + size - 1; c != end; ++c)
        if (*c == '\0')
            *c = ' ';
    const BootOptions want = boot_options_from_text(text.c_str());
    const bool same = got.gdbEnabled == want.gdbEnabled && got.gdbServerEnabled == want.gdbServerEnabled &&
                      got.gdbPort == want.gdbPort && got.shellEnabled == want.shellEnabled &&
                      got.memCheckEnabled == want.memCheckEnabled &&
                      got.rescueAtStart == want.rescueAtStart &&
                      got.lowSecAuthorised == want.lowSecAuthorised && got.diagsAtStart == want.diagsAtStart;
    if (!same || (got.rescueAtStart && got.diagsAtStart) || (got.gdbServerEnabled && !got.gdbEnabled))
        __builtin_trap();
    if (shortPartition && ftruncate(fd, st.st_size) != 0)
        __builtin_trap();
    return 0;
}
