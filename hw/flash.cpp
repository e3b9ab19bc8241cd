#include "hw/flash.h"

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

int flashFd[FLASH_PARTITION_COUNT] = {-1, -1, -1, -1, -1, -1, -1};

namespace {

struct PartitionDevice {
    const char *path;
    int flags;
};

// The partitions that hold boot code get synchronous writes; rescue and onie do not.
constexpr PartitionDevice partitionDevices[FLASH_PARTITION_COUNT] = {
    {"/dev/mtd-uboot", O_RDWR | O_SYNC},
    {"/dev/mtd-ubootenv", O_RDWR | O_SYNC},
    {"/dev/mtd-devicetree", O_RDWR | O_SYNC},
    {"/dev/mtd-kernel", O_RDWR | O_SYNC},
    {"/dev/mtd-rfs", O_RDWR | O_SYNC},
    {"/dev/mtd-rescue", O_RDWR},
    {"/dev/mtd-onie", O_RDWR},
};

constexpr uint32_t WRITE_CHUNK = 1024;

struct BlockRange {
    uint32_t first;
    uint32_t count;
};

// Unsigned 32-bit throughout: a zero length at offset 0 wraps to a count of 0.
BlockRange align_range(uint32_t offset, uint32_t length, const MtdGeometry *g)
{
    const uint32_t mask = 0u - g->erasesize;
    const uint32_t first = offset & mask;
    const uint32_t last = ((offset + length - 1) & mask) + g->erasesize - 1;
    return {first, (last - first + 1) >> g->erase_shift};
}

struct BlockPiece {
    uint32_t at;   // in the block
    uint32_t size; // bytes of data
    uint32_t done; // data bytes in the blocks before this one
};

// Block i of count, whose range starts head bytes into its first block.
BlockPiece block_piece(uint32_t i, uint32_t count, uint32_t head, uint32_t length, uint32_t erasesize)
{
    if (count == 1)
        return {head, length, 0};
    if (i == 0)
        return {head, erasesize - head, 0};
    const uint32_t done = erasesize - head + (i - 1) * erasesize;
    return {0, i == count - 1 ? length - done : erasesize, done};
}

// [from, to) of the block, in pieces that do not cross a chunk boundary.
bool write_span(int fd, uint32_t b, uint32_t from, uint32_t to, const uint8_t *buf)
{
    while (from < to) {
        const uint32_t n = std::min(to - from, WRITE_CHUNK - from % WRITE_CHUNK);
        if (!mtd_write(fd, b + from, n, buf + from))
            return false;
        from += n;
    }
    return true;
}

// The bytes the same-version check compares go last of all, so that a write
// cut anywhere (a cut write leaves a prefix) never leaves a matching header
// over data not in place: the boot loader's copy at 240, else the first 16.
bool write_block(int fd, uint32_t b, uint32_t erasesize, const uint8_t *buf)
{
    if (b != 0)
        return write_span(fd, b, 0, erasesize, buf);
    uint32_t w = fd == flashFd[UBOOT] ? UBOOT_HEADER_OFFSET : 0;
    if (w + INSTALLED_HEADER_SIZE > erasesize)
        w = 0;
    const uint32_t end = w + INSTALLED_HEADER_SIZE;
    return write_span(fd, b, 0, w, buf) && write_span(fd, b, end, erasesize, buf) &&
           write_span(fd, b, w, end, buf);
}

} // namespace

int flash_open_partitions()
{
    for (int i = 0; i < FLASH_PARTITION_COUNT; i++)
        flashFd[i] = plat_open(partitionDevices[i].path, partitionDevices[i].flags);
    return 1;
}

int mtd_get_geometry(int fd, MtdGeometry *geometry)
{
    mtd_info_user info{};
    if (plat_ioctl(fd, MEMGETINFO, &info) < 0) {
        puts("Could not get MTD device info ");
        return 0;
    }
    // The block arithmetic needs a power-of-two erase size; anything else is a broken device.
    if (info.erasesize == 0 || (info.erasesize & (info.erasesize - 1)) != 0) {
        puts("Could not get MTD device info ");
        return 0;
    }
    geometry->erasesize = info.erasesize;
    geometry->size = info.size;
    geometry->blocks = info.size / info.erasesize;
    geometry->erase_shift = static_cast<uint32_t>(__builtin_ctz(info.erasesize));
    return 1;
}

int mtd_erase(int fd, uint32_t offset, uint32_t length)
{
    erase_info_user erase{offset, length};
    return plat_ioctl(fd, MEMERASE, &erase) >= 0 ? 1 : 0;
}

int mtd_read(int fd, uint32_t offset, uint32_t length, uint8_t *buffer)
{
    return plat_pread(fd, buffer, length, offset) >= 0 ? 1 : 0;
}

int mtd_write(int fd, uint32_t offset, uint32_t length, const uint8_t *buffer)
{
    return plat_pwrite(fd, buffer, length, offset) >= 0 ? 1 : 0;
}

int flash_write(const uint8_t *data, int fd, uint32_t length, uint32_t offset, uint8_t progress,
                const MtdGeometry *geometry)
{
    const uint32_t erasesize = geometry->erasesize;
    // A range that wraps the 32-bit address space would place data outside the block buffer;
    // no device is that large, so it fails as an erase past the end would.
    if (uint64_t{offset} + length > UINT32_MAX + uint64_t{1}) {
        printf("Flash Write mtd erase failed.\n\n");
        return 0;
    }
    const BlockRange range = align_range(offset, length, geometry);

    std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[size_t{erasesize} + WRITE_CHUNK]);
    if (!block) {
        puts("Flash Write malloc failed");
        return 0;
    }
    if (progress)
        printf("     ");

    const uint32_t head = offset - range.first;
    // The first block goes last: it holds the header that the same-version check
    // compares, which must not match before the rest of the range is in place.
    for (uint32_t step = 0; step < range.count; step++) {
        const uint32_t i = (step + 1) % range.count;
        const BlockPiece p = block_piece(i, range.count, head, length, erasesize);
        const uint32_t b = range.first + i * erasesize;

        memset(block.get(), 0, erasesize);
        if (!mtd_read(fd, b, erasesize, block.get())) {
            printf("Flash Write mtd read failed.\n\n");
            return 0;
        }
        memcpy(block.get() + p.at, data + p.done, p.size);
        if (!mtd_erase(fd, b, erasesize)) {
            printf("Flash Write mtd erase failed.\n\n");
            return 0;
        }
        if (!write_block(fd, b, erasesize, block.get())) {
            printf("Flash Write mtd write failed.\n\n");
            return 0;
        }
        if (progress) {
            printf("\b\b\b\b%3.3d%c", static_cast<int>(uint64_t{step} * 100 / range.count), '%');
            fflush(stdout);
        }
    }
    if (progress)
        printf("\b\b\b\b100%c\n", '%');
    return 1;
}

int flash_erase(int fd, uint32_t length, uint32_t offset, const MtdGeometry *geometry)
{
    const BlockRange range = align_range(offset, length, geometry);
    uint32_t b = range.first;
    for (uint32_t i = 0; i < range.count; i++) {
        if (!mtd_erase(fd, b, geometry->erasesize)) {
            puts("Flash Erase mtd erase failed.");
            return 0;
        }
        b += geometry->erasesize;
    }
    return 1;
}

int flash_read(uint8_t *buffer, int fd, uint32_t length, uint32_t offset)
{
    return mtd_read(fd, offset, length, buffer);
}

int flash_read_partition(uint8_t *buffer, int fd, uint32_t offset, uint32_t length)
{
    MtdGeometry g;
    if (!mtd_get_geometry(fd, &g))
        return -1;
    return flash_read(buffer, fd, length, offset) ? 0 : -1;
}

int flash_write_partition(const uint8_t *data, int fd, uint32_t offset, uint32_t length, uint8_t progress)
{
    MtdGeometry g;
    if (!mtd_get_geometry(fd, &g))
        return -1;
    return flash_write(data, fd, length, offset, progress, &g) ? 0 : -1;
}

int flash_erase_partition(int fd, uint32_t offset, uint32_t length)
{
    MtdGeometry g;
    if (!mtd_get_geometry(fd, &g))
        return -1;
    return flash_erase(fd, length, offset, &g) ? 0 : -1;
}
