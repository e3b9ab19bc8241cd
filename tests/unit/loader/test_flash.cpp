#include "board_fixture.h"
#include "image/image_builder.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t BLOCK = 4096;
constexpr uint32_t PART_SIZE = 64 * 1024;

class FlashTest : public BoardTest {
  protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        flash_open_partitions();
        ASSERT_GE(flashFd[KERNEL], 0);
    }
    void restore(const std::string &fault)
    {
        ASSERT_TRUE(sim_board_write_file("/dev/mtd-kernel", old_) &&
                    sim_board_write_file("/dev/mtd-uboot", old_));
        reset_config("erasesize 4096\n" + fault);
    }
    static std::string bytes(const Bytes &b) { return {b.begin(), b.end()}; }

    // So that bytes outside a write can be checked.
    const std::string old_ = bytes(filler(PART_SIZE, 3));
};

// One erase more than the range needs would fail, so no extra block is touched. On failure at offset 0:
// the first block, and in it the header the same-version check compares, go last, so that header never
// matches data not in place.
TEST_F(FlashTest, Writes)
{
    struct Case {
        const char *fault;
        FlashPartition part;
        uint32_t offset, length;
        const char *console;  // with blanks first: with progress; ending "failed.\n\n": the write fails
        uint32_t inPlaceFrom; // failure at 0: data from here on was written, the header apart
    };
    const Case cases[] = {
        {"fail kernel erase 2", KERNEL, BLOCK + 10, 100, "", 0},
        {"fail kernel erase 5", KERNEL, BLOCK + 2048, 3 * BLOCK,
         "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n", 0},
        {"fail kernel read 1", KERNEL, 0, 0, "     \b\b\b\b100%\n", 0},
        {"fail uboot erase 3", UBOOT, 0, 2 * BLOCK, "", 0},
        {"fail kernel read 2", KERNEL, 0, 2 * BLOCK, "Flash Write mtd read failed.\n\n", BLOCK},
        {"fail kernel erase 2", KERNEL, 0, 2 * BLOCK, "Flash Write mtd erase failed.\n\n", BLOCK},
        {"fail kernel write 5", KERNEL, 0, 2 * BLOCK, "Flash Write mtd write failed.\n\n", BLOCK},
        {"fail kernel write 9", KERNEL, 0, 2 * BLOCK, "Flash Write mtd write failed.\n\n", 0},
        {"fail uboot write 10", UBOOT, 0, 2 * BLOCK, "Flash Write mtd write failed.\n\n", 0},
        {"", KERNEL, 0xFFFFF000u, 0x2000, "Flash Write mtd erase failed.\n\n", 0}, // wraps the address space
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.fault << " at " << c.offset);
        restore(c.fault);
        const std::string data = bytes(filler(c.length, 0xA5));
        const bool fails = std::string(c.console).ends_with("failed.\n\n");
        Console console;
        EXPECT_EQ(flash_write_partition(reinterpret_cast<const uint8_t *>(data.data()), flashFd[c.part],
                                        c.offset, c.length, c.console[0] == ' '),
                  fails ? -1 : 0);
        EXPECT_EQ(console.text(), c.console);
        std::string after = board_file(c.part == UBOOT ? "/dev/mtd-uboot" : "/dev/mtd-kernel");
        if (!fails) {
            EXPECT_TRUE(after == std::string(old_).replace(c.offset, c.length, data));
        } else if (c.offset != 0) {
            EXPECT_TRUE(after == old_);
        } else {
            const uint32_t window = c.part == UBOOT ? UBOOT_HEADER_OFFSET : 0;
            EXPECT_NE(after.substr(window, 16), data.substr(window, 16));
            after.replace(window, 16, data, window, 16);
            EXPECT_EQ(after.compare(c.inPlaceFrom, c.length - c.inPlaceFrom, data, c.inPlaceFrom), 0);
        }
    }
}

TEST_F(FlashTest, EraseReadAndMissingDevices)
{
    restore("fail kernel erase 4");
    ASSERT_EQ(flash_erase_partition(flashFd[KERNEL], BLOCK + 1, BLOCK), 0); // two blocks
    std::string buf(2 * PART_SIZE, 'Z'); // longer than the partition: a short read still succeeds
    ASSERT_EQ(
        flash_read_partition(reinterpret_cast<uint8_t *>(buf.data()), flashFd[KERNEL], 0, 2 * PART_SIZE), 0);
    EXPECT_TRUE(buf ==
                std::string(old_).replace(BLOCK, 2 * BLOCK, 2 * BLOCK, '\xff') + std::string(PART_SIZE, 'Z'));

    // NOR flash: a write without its erase only clears bits, so a skipped erase shows above.
    ASSERT_EQ(plat_pwrite(flashFd[KERNEL], "\x3c", 1, 4 * BLOCK), 1);
    EXPECT_EQ(board_file("/dev/mtd-kernel")[4 * BLOCK], old_[4 * BLOCK] & 0x3c);

    uint8_t untouched[16] = {0x11};
    Console console;
    EXPECT_EQ(flash_erase_partition(flashFd[KERNEL], 0, 3 * BLOCK), -1);
    EXPECT_EQ(flash_read_partition(untouched, -1, 0, 16), -1);
    EXPECT_EQ(flash_write_partition(untouched, -1, 0, 16, 1), -1);
    EXPECT_EQ(flash_erase_partition(-1, 0, 16), -1);
    // Not a power of two: the block arithmetic cannot work.
    config("erasesize kernel 3000");
    EXPECT_EQ(flash_read_partition(untouched, flashFd[KERNEL], 0, 16), -1);
    EXPECT_EQ(console.text(), "Flash Erase mtd erase failed.\n"
                              "Could not get MTD device info \nCould not get MTD device info \n"
                              "Could not get MTD device info \nCould not get MTD device info \n");
    EXPECT_EQ(untouched[0], 0x11);
}

} // namespace
