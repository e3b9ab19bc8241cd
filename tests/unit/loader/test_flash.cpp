#include <numeric>
#include <vector>

#include "board_fixture.h"
#include "platform/platform.h"

namespace {

constexpr uint32_t BLOCK = 4096;
constexpr uint32_t PART_SIZE = 64 * 1024;

class FlashTest : public BoardTest {
  protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        config("erasesize 4096");
        // A recognisable old image so that bytes outside a write can be checked.
        old_.resize(PART_SIZE);
        for (uint32_t i = 0; i < PART_SIZE; i++)
            old_[i] = static_cast<char>(i * 7 + 3);
        ASSERT_TRUE(sim_board_write_file("/dev/mtd-kernel", old_));
        flash_open_partitions();
        ASSERT_GE(flashFd[KERNEL], 0);
    }
    static void reset_config()
    {
        ASSERT_TRUE(sim_board_write_file("/board/config", "time_scale 0\nerasesize 4096\n"));
        sim_board_reload();
    }
    std::string kernel() { return board_file("/dev/mtd-kernel"); }
    static std::string pattern(size_t n)
    {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; i++)
            s[i] = static_cast<char>(0xA5 ^ (i * 13));
        return s;
    }
    int write(const std::string &data, uint32_t offset, uint8_t progress = 0)
    {
        return flash_write_partition(reinterpret_cast<const uint8_t *>(data.data()), flashFd[KERNEL], offset,
                                     static_cast<uint32_t>(data.size()), progress);
    }

    std::string old_;
};

TEST_F(FlashTest, WritesLandInPlaceAndKeepTheRestOfEachBlock)
{
    struct Case {
        uint32_t offset;
        uint32_t length;
        int erases; // blocks touched
    };
    const Case cases[] = {
        {BLOCK + 10, 100, 1},         // inside one block
        {BLOCK + 2048, 3 * BLOCK, 4}, // three blocks' worth from mid-block
        {0, BLOCK, 1},                // exactly one aligned block
        {PART_SIZE - 100, 100, 1},    // tail of the partition
        {BLOCK - 1, 2, 2},            // straddling a boundary
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.offset);
        ASSERT_TRUE(sim_board_write_file("/dev/mtd-kernel", old_));
        reset_config();
        // One more erase than the range needs would fail: proves no extra block is touched.
        config(("fail kernel erase " + std::to_string(c.erases + 1)).c_str());
        const std::string data = pattern(c.length);
        Console console;
        ASSERT_EQ(write(data, c.offset), 0);
        EXPECT_EQ(console.text(), "");
        std::string expected = old_;
        expected.replace(c.offset, c.length, data);
        EXPECT_TRUE(kernel() == expected);
    }
}

TEST_F(FlashTest, ProgressTextOfAFourBlockWrite)
{
    Console console;
    ASSERT_EQ(write(pattern(3 * BLOCK), BLOCK + 2048, 1), 0);
    EXPECT_EQ(console.text(), "     \b\b\b\b000%\b\b\b\b025%\b\b\b\b050%\b\b\b\b075%\b\b\b\b100%\n");
}

TEST_F(FlashTest, ZeroLengthTouchesNoBlock)
{
    config("fail kernel erase 1");
    config("fail kernel read 1");
    Console console;
    EXPECT_EQ(write("", 0, 1), 0);
    EXPECT_EQ(console.text(), "     \b\b\b\b100%\n");
    EXPECT_TRUE(kernel() == old_);
}

// The first block goes last, and the bytes the same-version check compares last
// of all: whatever fails, that header never matches data that is not in place.
TEST_F(FlashTest, EachFailureIsReportedBeforeTheHeaderIsWritten)
{
    struct Case {
        const char *fault;
        const char *message;
        FlashPartition part;
        uint32_t window;      // the compared header
        uint32_t inPlaceFrom; // data from here on was written, the window apart
    };
    const Case cases[] = {
        {"fail kernel read 2", "Flash Write mtd read failed.\n\n", KERNEL, 0, BLOCK},
        {"fail kernel erase 2", "Flash Write mtd erase failed.\n\n", KERNEL, 0, BLOCK},
        {"fail kernel write 5", "Flash Write mtd write failed.\n\n", KERNEL, 0, BLOCK},
        {"fail kernel write 9", "Flash Write mtd write failed.\n\n", KERNEL, 0, 0},
        {"fail uboot write 10", "Flash Write mtd write failed.\n\n", UBOOT, UBOOT_HEADER_OFFSET, 0},
    };
    const std::string data = pattern(2 * BLOCK);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        const std::string file = c.part == UBOOT ? "/dev/mtd-uboot" : "/dev/mtd-kernel";
        ASSERT_TRUE(sim_board_write_file(file, old_));
        reset_config();
        config(c.fault);
        Console console;
        EXPECT_EQ(flash_write_partition(reinterpret_cast<const uint8_t *>(data.data()), flashFd[c.part], 0,
                                        2 * BLOCK, 0),
                  -1);
        EXPECT_EQ(console.text(), c.message);
        std::string after = board_file(file.c_str()).substr(0, 2 * BLOCK);
        EXPECT_NE(after.substr(c.window, 16), data.substr(c.window, 16));
        after.replace(c.window, 16, data, c.window, 16);
        EXPECT_TRUE(after.compare(c.inPlaceFrom, 2 * BLOCK - c.inPlaceFrom, data, c.inPlaceFrom) == 0);
    }
}

TEST_F(FlashTest, EraseRangeAndItsFailure)
{
    ASSERT_EQ(flash_erase_partition(flashFd[KERNEL], BLOCK + 1, BLOCK), 0);
    const std::string after = kernel();
    EXPECT_EQ(after.substr(BLOCK, 2 * BLOCK), std::string(2 * BLOCK, '\xff'));
    EXPECT_EQ(after.substr(0, BLOCK), old_.substr(0, BLOCK));
    EXPECT_EQ(after.substr(3 * BLOCK), old_.substr(3 * BLOCK));

    config("fail kernel erase 2");
    Console console;
    EXPECT_EQ(flash_erase_partition(flashFd[KERNEL], 0, 3 * BLOCK), -1);
    EXPECT_EQ(console.text(), "Flash Erase mtd erase failed.\n");
}

TEST_F(FlashTest, WritePastTheEndFailsAtTheErase)
{
    Console console;
    EXPECT_EQ(write(pattern(100), PART_SIZE - 50), -1);
    EXPECT_EQ(console.text(), "Flash Write mtd erase failed.\n\n");
    // A range that wraps the address space never reaches the block buffer.
    EXPECT_EQ(flash_write_partition(reinterpret_cast<const uint8_t *>(old_.data()), flashFd[KERNEL],
                                    0xFFFFF000u, 0x2000, 0),
              -1);
}

TEST_F(FlashTest, ReadsAndMissingDevices)
{
    std::vector<uint8_t> buf(3 * PART_SIZE, 0x5A);
    // Longer than the partition: a short read that still counts as success.
    ASSERT_EQ(flash_read_partition(buf.data(), flashFd[KERNEL], 0, static_cast<uint32_t>(buf.size())), 0);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + PART_SIZE), old_);
    EXPECT_EQ(buf[PART_SIZE], 0x5A);

    std::vector<uint8_t> untouched(16, 0x11);
    Console console;
    EXPECT_EQ(flash_read_partition(untouched.data(), -1, 0, 16), -1);
    EXPECT_EQ(flash_write_partition(untouched.data(), -1, 0, 16, 1), -1);
    EXPECT_EQ(flash_erase_partition(-1, 0, 16), -1);
    EXPECT_EQ(console.text(), "Could not get MTD device info \nCould not get MTD device info \n"
                              "Could not get MTD device info \n");
    EXPECT_EQ(untouched, std::vector<uint8_t>(16, 0x11));
}

TEST_F(FlashTest, GeometryFromTheDevice)
{
    config("erasesize kernel 16384");
    MtdGeometry g{};
    ASSERT_EQ(mtd_get_geometry(flashFd[KERNEL], &g), 1);
    EXPECT_EQ(g.size, PART_SIZE);
    EXPECT_EQ(g.erasesize, 16384u);
    EXPECT_EQ(g.erase_shift, 14u);
    EXPECT_EQ(g.blocks, 4u);

    config("erasesize kernel 3000"); // not a power of two: the arithmetic cannot work
    Console console;
    EXPECT_EQ(mtd_get_geometry(flashFd[KERNEL], &g), 0);
    EXPECT_EQ(console.text(), "Could not get MTD device info \n");
}

} // namespace
