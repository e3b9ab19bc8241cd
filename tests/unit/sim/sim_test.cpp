// The simulated board's own guarantees. What the loader's hw code drives
// through it (faults, EEPROM, clock, geometry) is checked by the loader tests.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/i2c-dev.h>
#include <mtd/mtd-user.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/board.h"
#include "platform/sim/sim_board.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kPartitionSize = 16384;
constexpr unsigned long kSwitch = 0x70, kEeprom = 0x52, kRtc = 0x68, kCpld = 0x60;

class SimBoard : public ::testing::Test {
  protected:
    std::string root;

    void SetUp() override
    {
        char dir[] = "/tmp/sim_tests.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        sim_board_set_root(dir);
        ASSERT_TRUE(sim_board_populate(kPartitionSize));
    }
    void TearDown() override
    {
        sim_board_set_root("");
        std::filesystem::remove_all(root);
    }
    static std::string board_file(const char *path)
    {
        std::string text;
        sim_board_read_file(path, text);
        return text;
    }
};

// Every directive is driven by the loader tests; a malformed line must not
// inject a fault or change the defaults.
TEST(SimConfigText, MalformedLinesKeepTheDefaults)
{
    for (const char *line :
         {"time_scale fast", "time_scale -2", "erasesize 0", "erasesize 12k", "fail kernel erase 0",
          "fail kernel format 1", "fail kernel erase", "absent fan", "nack eeprom", "short_read switch 1",
          "#absent rtc", "absent rtc extra", "powercut erase 0", "powercut read 1", "powercut eeprom"}) {
        const SimConfig cfg = sim_parse_config(line);
        EXPECT_EQ(cfg.timeScale, 1.0) << line;
        EXPECT_EQ(cfg.eraseSize, 65536u) << line;
        EXPECT_TRUE(cfg.partitionEraseSize.empty() && cfg.fails.empty()) << line;
        for (const SimChipFaults &chip : cfg.chips)
            EXPECT_TRUE(!chip.absent && chip.nackFrom == 0 && chip.shortRead == 0) << line;
        for (uint64_t at : cfg.powerCut)
            EXPECT_EQ(at, 0u) << line;
    }
}

TEST_F(SimBoard, TimeScaling)
{
    struct Case {
        const char *scale;
        uint64_t us, scaledUs;
        int ms, scaledMs;
        unsigned tenths;
        unsigned char vtime;
    } cases[] = {{"1", 100000, 100000, 5000, 5000, 50, 50}, {"1", 0, 0, -1, -1, 300, 255},
                 {"0.1", 100000, 10000, 30, 3, 30, 3},      {"0.1", 7, 1, 1, 1, 5, 1},
                 {"0.01", 1000000, 10000, 0, 0, 0, 0},      {"0", 5000000, 0, 5000, 1, 50, 1},
                 {"10", 3, 30, 1000, 10000, 30, 255},       {"1e6", 0, 0, 1000000, 2147483647, 1, 255}};
    for (const Case &c : cases) {
        ASSERT_TRUE(sim_board_write_file("/board/config", std::string("time_scale ") + c.scale));
        sim_board_reload();
        SCOPED_TRACE(c.scale);
        EXPECT_EQ(sim_scale_us(c.us), c.scaledUs);
        EXPECT_EQ(sim_scale_ms(c.ms), c.scaledMs);
        EXPECT_EQ(plat_vtime(c.tenths), c.vtime);
    }
}

class SimI2c : public SimBoard {
  protected:
    int bus = -1;

    void SetUp() override
    {
        SimBoard::SetUp();
        bus = plat_open("/dev/i2c-1", O_RDWR);
        ASSERT_GE(bus, 0);
    }
    void TearDown() override
    {
        plat_close(bus);
        SimBoard::TearDown();
    }
    ssize_t put(unsigned long addr, Bytes bytes)
    {
        EXPECT_EQ(plat_ioctl(bus, I2C_SLAVE, addr), 0);
        return plat_write(bus, bytes.data(), bytes.size());
    }
    ssize_t get(unsigned long addr, Bytes &out)
    {
        EXPECT_EQ(plat_ioctl(bus, I2C_SLAVE, addr), 0);
        return plat_read(bus, out.data(), out.size());
    }
};

// Without channel 0 selected nothing behind the switch may answer, or a
// loader that forgot the switch would pass here and fail on a board.
TEST_F(SimI2c, SwitchGatesTheDevicesBehindIt)
{
    Bytes one(1);
    struct Step {
        uint8_t control;
        bool reachable;
    } steps[] = {{0x00, false}, {0x01, true}, {0x02, false}, {0x03, true}, {0x00, false}};
    for (const Step &s : steps) {
        ASSERT_EQ(put(kSwitch, {s.control}), 1);
        ASSERT_EQ(get(kSwitch, one), 1);
        EXPECT_EQ(one[0], s.control);
        for (unsigned long addr : {kEeprom, kRtc, kCpld}) {
            errno = 0;
            EXPECT_EQ(get(addr, one), s.reachable ? 1 : -1) << std::hex << addr << " control " << +s.control;
            EXPECT_EQ(errno, s.reachable ? 0 : ENXIO);
        }
    }
    // Nothing else answers, and bus 0 is bare.
    errno = 0;
    EXPECT_EQ(put(0x50, {0, 0}), -1);
    EXPECT_EQ(errno, ENXIO);
    int bus0 = plat_open("/dev/i2c-0", O_RDWR);
    ASSERT_GE(bus0, 0);
    ASSERT_EQ(plat_ioctl(bus0, I2C_SLAVE, kSwitch), 0);
    errno = 0;
    EXPECT_EQ(plat_write(bus0, "\x01", 1), -1);
    EXPECT_EQ(errno, ENXIO);
    plat_close(bus0);
}

class SimMtd : public SimBoard {
  protected:
    int fd = -1;

    void SetUp() override
    {
        SimBoard::SetUp();
        ASSERT_TRUE(sim_board_config_line("erasesize 4096"));
        fd = plat_open("/dev/mtd-kernel", O_RDWR | O_SYNC);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        plat_close(fd);
        SimBoard::TearDown();
    }
    int erase(uint32_t start, uint32_t length)
    {
        erase_info_user req{start, length};
        return plat_ioctl(fd, MEMERASE, &req);
    }
};

// Only whole blocks inside the partition are erased, as the kernel's MEMERASE does.
TEST_F(SimMtd, EraseChecksAlignmentAndRange)
{
    struct Case {
        uint32_t start, length;
        int err; // 0: succeeds
    } cases[] = {{0, 4096, 0},           {4096, 8192, 0},
                 {0, kPartitionSize, 0}, {12288, 0, 0},
                 {100, 4096, EINVAL},    {0, 100, EINVAL},
                 {4096, 6000, EINVAL},   {12288, 8192, EINVAL},
                 {16384, 4096, EINVAL},  {0xFFFFF000u, 8192, EINVAL}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " length " << c.length);
        Bytes data(kPartitionSize, 0);
        ASSERT_EQ(plat_pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(kPartitionSize));
        errno = 0;
        EXPECT_EQ(erase(c.start, c.length), c.err ? -1 : 0);
        EXPECT_EQ(errno, c.err);
        ASSERT_EQ(plat_pread(fd, data.data(), data.size(), 0), static_cast<ssize_t>(kPartitionSize));
        for (uint32_t i = 0; i < kPartitionSize; i++)
            ASSERT_EQ(data[i], c.err == 0 && i >= c.start && i - c.start < c.length ? 0xFF : 0) << i;
    }
}

// NOR flash: a write can only clear bits, so a write without its erase shows.
TEST_F(SimMtd, WritesOnlyClearBits)
{
    const uint8_t first[] = {0xF0, 0x0F, 0xAA}, second[] = {0x3C, 0x3C, 0x55};
    uint8_t got[3];
    ASSERT_EQ(plat_pwrite(fd, first, 3, 4094), 3);
    ASSERT_EQ(plat_pwrite(fd, second, 3, 4094), 3);
    ASSERT_EQ(plat_pread(fd, got, 3, 4094), 3);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{0x30, 0x0C, 0x00}));
    // Erasing the first block restores only its two bytes.
    ASSERT_EQ(erase(0, 4096), 0);
    ASSERT_EQ(plat_pwrite(fd, second, 3, 4094), 3);
    ASSERT_EQ(plat_pread(fd, got, 3, 4094), 3);
    EXPECT_EQ(Bytes(got, got + 3), (Bytes{0x3C, 0x3C, 0x00}));
    // Stream writes follow the file position under the same rule.
    ASSERT_EQ(plat_write(fd, "\x12\x34", 2), 2);
    ASSERT_EQ(plat_write(fd, "\x56", 1), 1);
    EXPECT_EQ(board_file("/dev/mtd-kernel").substr(0, 4), std::string("\x12\x34\x56\xff"));
}

TEST_F(SimMtd, TransfersAtTheEndNeverGrowThePartition)
{
    uint8_t buf[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    struct Case {
        bool write;
        off_t off;
        ssize_t result;
        int err;
    } cases[] = {{false, kPartitionSize - 4, 4, 0},
                 {false, kPartitionSize + 100, 0, 0},
                 {false, -1, -1, EINVAL},
                 {true, kPartitionSize - 3, 3, 0},
                 {true, kPartitionSize, -1, ENOSPC},
                 {true, kPartitionSize + 8, -1, ENOSPC}};
    for (const Case &c : cases) {
        errno = 0;
        ssize_t n =
            c.write ? plat_pwrite(fd, buf, sizeof buf, c.off) : plat_pread(fd, buf, sizeof buf, c.off);
        EXPECT_EQ(n, c.result) << (c.write ? "write at " : "read at ") << c.off;
        EXPECT_EQ(errno, c.err) << c.off;
    }
    EXPECT_EQ(board_file("/dev/mtd-kernel").size(), kPartitionSize);
}

// A power cut leaves what the interrupted operation had done by then, and the
// process dies as if the plug were pulled.
TEST_F(SimMtd, PowerCutsLeaveHalfTheWork)
{
    const Bytes ones(4096, 0x00);
    ASSERT_EQ(plat_pwrite(fd, ones.data(), ones.size(), 4096), 4096);
    struct Case {
        const char *setting;
        std::function<void()> operation;
        const char *note;
        size_t from, to; // the bytes changed by the operation before the cut
        char value;
    } cases[] = {
        {"powercut erase 2", [&] { erase(0, 4096), erase(4096, 4096); }, "erase 2 \\(kernel 0x1000\\)", 4096,
         6144, '\xff'},
        {"powercut write 1", [&] { plat_pwrite(fd, "\x0f\x0f\x0f\x0f", 4, 100); },
         "write 1 \\(kernel 0x64\\)", 100, 102, '\x0f'},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting);
        const std::string before = board_file("/dev/mtd-kernel");
        ASSERT_TRUE(sim_board_config_line(c.setting));
        EXPECT_EXIT(c.operation(), testing::KilledBySignal(SIGKILL),
                    std::string("^\\[board\\] power cut at ") + c.note + "\n$");
        std::string expected = before;
        expected.replace(c.from, c.to - c.from, c.to - c.from, c.value);
        EXPECT_TRUE(board_file("/dev/mtd-kernel") == expected);
        ASSERT_TRUE(sim_board_write_file("/board/config", "erasesize 4096\n"));
    }
}

// A cut EEPROM write loses the byte in flight and nothing else.
TEST_F(SimI2c, PowerCutLosesOneEepromByte)
{
    ASSERT_TRUE(sim_board_write_file("/board/eeprom.bin", std::string(8192, '\x11')));
    ASSERT_TRUE(sim_board_config_line("powercut eeprom 3"));
    ASSERT_EQ(put(kSwitch, {0x01}), 1);
    ASSERT_EQ(put(kEeprom, {0x01, 0x00, 0x21}), 3);
    EXPECT_EXIT(put(kEeprom, {0x01, 0x10, 0x22, 0x23, 0x24}), testing::KilledBySignal(SIGKILL),
                "^\\[board\\] power cut at eeprom 3 \\(offset 273\\)\n$");
    std::string expected(8192, '\x11');
    expected.replace(256, 1, "\x21");
    expected.replace(272, 2, "\x22\xff");
    EXPECT_TRUE(board_file("/board/eeprom.bin") == expected);
}

} // namespace
