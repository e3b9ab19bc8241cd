#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

class SimMtd : public SimBoard {
  protected:
    int open_part(const char *name)
    {
        int fd = plat_open((std::string("/dev/mtd-") + name).c_str(), O_RDWR | O_SYNC);
        EXPECT_GE(fd, 0) << name;
        return fd;
    }
    int erase(int fd, uint32_t start, uint32_t length)
    {
        erase_info_user req{start, length};
        return plat_ioctl(fd, MEMERASE, &req);
    }
};

TEST_F(SimMtd, EraseChecksAlignmentAndRange)
{
    ASSERT_TRUE(sim_board_config_line("erasesize 4096"));
    struct Case {
        uint32_t start, length;
        int err; // 0: succeeds
    } cases[] = {{0, 4096, 0},           {4096, 8192, 0},
                 {0, kPartitionSize, 0}, {12288, 0, 0},
                 {100, 4096, EINVAL},    {0, 100, EINVAL},
                 {4096, 6000, EINVAL},   {12288, 8192, EINVAL},
                 {16384, 4096, EINVAL},  {0xFFFFF000u, 8192, EINVAL}};
    int fd = open_part("rfs");
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " length " << c.length);
        std::vector<uint8_t> data(kPartitionSize, 0);
        ASSERT_EQ(plat_pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(kPartitionSize));
        errno = 0;
        EXPECT_EQ(erase(fd, c.start, c.length), c.err ? -1 : 0);
        EXPECT_EQ(errno, c.err);
        ASSERT_EQ(plat_pread(fd, data.data(), data.size(), 0), static_cast<ssize_t>(kPartitionSize));
        for (uint32_t i = 0; i < kPartitionSize; i++)
            ASSERT_EQ(data[i], c.err == 0 && i >= c.start && i - c.start < c.length ? 0xFF : 0) << i;
    }
    plat_close(fd);
}

TEST_F(SimMtd, WritesOnlyClearBits)
{
    ASSERT_TRUE(sim_board_config_line("erasesize 4096"));
    int fd = open_part("kernel");
    const uint8_t first[] = {0xF0, 0x0F, 0xAA}, second[] = {0x3C, 0x3C, 0x55};
    uint8_t got[3];
    ASSERT_EQ(plat_pwrite(fd, first, 3, 4094), 3);
    ASSERT_EQ(plat_pwrite(fd, second, 3, 4094), 3);
    ASSERT_EQ(plat_pread(fd, got, 3, 4094), 3);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), (std::vector<uint8_t>{0x30, 0x0C, 0x00}));
    // Erasing the first block restores only its two bytes.
    ASSERT_EQ(erase(fd, 0, 4096), 0);
    ASSERT_EQ(plat_pwrite(fd, second, 3, 4094), 3);
    ASSERT_EQ(plat_pread(fd, got, 3, 4094), 3);
    EXPECT_EQ(std::vector<uint8_t>(got, got + 3), (std::vector<uint8_t>{0x3C, 0x3C, 0x00}));
    // Stream writes follow the file position under the same rule.
    ASSERT_EQ(plat_write(fd, "\x12\x34", 2), 2);
    ASSERT_EQ(plat_write(fd, "\x56", 1), 1);
    EXPECT_EQ(board_file("/dev/mtd-kernel").substr(0, 4), std::string("\x12\x34\x56\xff"));
    plat_close(fd);
}

TEST_F(SimMtd, TransfersAtTheEnd)
{
    int fd = open_part("rescue");
    uint8_t buf[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    struct Case {
        bool write;
        off_t off;
        ssize_t result;
        int err;
    } cases[] = {{false, kPartitionSize - 4, 4, 0},     {false, kPartitionSize, 0, 0},
                 {false, kPartitionSize + 100, 0, 0},   {false, -1, -1, EINVAL},
                 {true, kPartitionSize - 3, 3, 0},      {true, kPartitionSize, -1, ENOSPC},
                 {true, kPartitionSize + 8, -1, ENOSPC}};
    for (const Case &c : cases) {
        errno = 0;
        ssize_t n =
            c.write ? plat_pwrite(fd, buf, sizeof buf, c.off) : plat_pread(fd, buf, sizeof buf, c.off);
        EXPECT_EQ(n, c.result) << (c.write ? "write at " : "read at ") << c.off;
        EXPECT_EQ(errno, c.err) << c.off;
    }
    EXPECT_EQ(board_file("/dev/mtd-rescue").size(), kPartitionSize); // the file never grows
    plat_close(fd);
}

TEST_F(SimMtd, MissingDeviceAndPassThrough)
{
    std::filesystem::remove(root + "/dev/mtd-onie");
    errno = 0;
    EXPECT_EQ(plat_open("/dev/mtd-onie", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    // Any other path is the host's own file, without flash rules.
    int fd = plat_open((root + "/plain").c_str(), O_RDWR | O_CREAT);
    ASSERT_GE(fd, 0);
    uint8_t got = 0;
    ASSERT_EQ(plat_pwrite(fd, "\x0F", 1, 0), 1);
    ASSERT_EQ(plat_pwrite(fd, "\xF0", 1, 0), 1);
    ASSERT_EQ(plat_pread(fd, &got, 1, 0), 1);
    EXPECT_EQ(got, 0xF0);
    plat_close(fd);
}

} // namespace
