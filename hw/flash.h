// Raw flash partitions (MTD character devices), opened once at start-up.
#pragma once

#include <cstdint>

enum FlashPartition { UBOOT, UBOOTENV, DEVICETREE, KERNEL, RFS, RESCUE, ONIE, FLASH_PARTITION_COUNT };

// Where the same-version check finds a partition's installed header: its first
// bytes, or for the boot loader the copy inside its code.
inline constexpr uint32_t INSTALLED_HEADER_SIZE = 16;
inline constexpr uint32_t UBOOT_HEADER_OFFSET = 240;

// Descriptor per partition; -1 when its device could not be opened.
extern int flashFd[FLASH_PARTITION_COUNT];

struct MtdGeometry {
    uint32_t blocks;
    uint32_t erasesize;
    uint32_t erase_shift;
    uint32_t size;
};

int flash_open_partitions();

int mtd_get_geometry(int fd, MtdGeometry *geometry);
int mtd_erase(int fd, uint32_t offset, uint32_t length);
int mtd_read(int fd, uint32_t offset, uint32_t length, uint8_t *buffer);
int mtd_write(int fd, uint32_t offset, uint32_t length, const uint8_t *buffer);

int flash_write(const uint8_t *data, int fd, uint32_t length, uint32_t offset, uint8_t progress,
                const MtdGeometry *geometry);
int flash_erase(int fd, uint32_t length, uint32_t offset, const MtdGeometry *geometry);
int flash_read(uint8_t *buffer, int fd, uint32_t length, uint32_t offset);

int flash_read_partition(uint8_t *buffer, int fd, uint32_t offset, uint32_t length);
int flash_write_partition(const uint8_t *data, int fd, uint32_t offset, uint32_t length, uint8_t progress);
int flash_erase_partition(int fd, uint32_t offset, uint32_t length);
