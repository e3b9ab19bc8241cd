#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "sim_fixture.h"

namespace {

constexpr unsigned long kSwitch = 0x70, kEeprom = 0x52, kRtc = 0x68, kCpld = 0x60;

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

    ssize_t put(unsigned long addr, std::vector<uint8_t> bytes)
    {
        EXPECT_EQ(plat_ioctl(bus, I2C_SLAVE, addr), 0);
        return plat_write(bus, bytes.data(), bytes.size());
    }

    ssize_t get(unsigned long addr, std::vector<uint8_t> &out)
    {
        EXPECT_EQ(plat_ioctl(bus, I2C_SLAVE, addr), 0);
        return plat_read(bus, out.data(), out.size());
    }

    void open_channel0() { ASSERT_EQ(put(kSwitch, {0x01}), 1); }
};

TEST_F(SimI2c, SwitchGatesTheDevicesBehindIt)
{
    std::vector<uint8_t> one(1);
    struct Step {
        uint8_t control;
        bool reachable;
    } steps[] = {{0x00, false}, {0x01, true}, {0x02, false}, {0x03, true}, {0x00, false}};
    for (const Step &s : steps) {
        ASSERT_EQ(put(kSwitch, {s.control}), 1);
        ASSERT_EQ(get(kSwitch, one), 1);
        EXPECT_EQ(one[0], s.control);
        EXPECT_EQ(board_file("/board/switch"), std::string(1, static_cast<char>(s.control)));
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

TEST_F(SimI2c, RtcShowsTheBoardTimeInBcd)
{
    struct Case {
        const char *text;
        uint8_t regs[7];
    } cases[] = {{"2024-02-29 23:59:58\n", {0x58, 0x59, 0x23, 5, 0x29, 0x02, 0x24}},
                 {"2000-01-01 00:00:00", {0x00, 0x00, 0x00, 7, 0x01, 0x01, 0x00}},
                 {"2099-12-31 12:34:56", {0x56, 0x34, 0x12, 5, 0x31, 0x12, 0x99}},
                 {"2023-10-15 07:08:09", {0x09, 0x08, 0x07, 1, 0x15, 0x10, 0x23}}};
    open_channel0();
    std::vector<uint8_t> regs(7), tail(3);
    for (const Case &c : cases) {
        ASSERT_TRUE(sim_board_write_file("/board/rtc", c.text));
        ASSERT_EQ(put(kRtc, {0}), 1);
        ASSERT_EQ(get(kRtc, regs), 7);
        EXPECT_EQ(regs, std::vector<uint8_t>(c.regs, c.regs + 7)) << c.text;
    }
    ASSERT_EQ(put(kRtc, {4}), 1);
    ASSERT_EQ(get(kRtc, tail), 3);
    EXPECT_EQ(tail, (std::vector<uint8_t>{0x15, 0x10, 0x23}));
    // Out-of-range or malformed times leave the host's clock showing.
    for (const char *text :
         {"1999-12-31 00:00:00", "2023-02-29 00:00:00", "2023-01-01 24:00:00", "2023-01-01 x"}) {
        ASSERT_TRUE(sim_board_write_file("/board/rtc", text));
        const time_t now = time(nullptr);
        tm host;
        gmtime_r(&now, &host);
        ASSERT_EQ(put(kRtc, {3}), 1);
        ASSERT_EQ(get(kRtc, tail), 3);
        EXPECT_EQ(tail[0], host.tm_wday + 1) << text;
        EXPECT_EQ(tail[2], host.tm_mon + 1 < 10 ? host.tm_mon + 1 : host.tm_mon + 7) << text;
    }
}

TEST_F(SimI2c, ChipFaults)
{
    struct Case {
        const char *config;
        unsigned long addr;
        // Result of five 2-byte reads in a row; -1 means no acknowledge.
        ssize_t results[5];
    } cases[] = {{"absent eeprom", kEeprom, {-1, -1, -1, -1, -1}},
                 {"nack eeprom 3", kEeprom, {2, -1, -1, -1, -1}}, // the pointer write is transfer 1
                 {"nack rtc 1", kRtc, {-1, -1, -1, -1, -1}},
                 {"short_read cpld 2", kCpld, {2, 1, 2, 2, 2}},
                 {"short_read rtc 1", kRtc, {1, 2, 2, 2, 2}},
                 {"absent rtc", kEeprom, {2, 2, 2, 2, 2}},
                 {"absent switch", kCpld, {-1, -1, -1, -1, -1}}};
    for (const Case &c : cases) {
        ASSERT_TRUE(sim_board_write_file("/board/config", c.config));
        ASSERT_TRUE(sim_board_write_file("/board/switch", "\x01"));
        sim_board_reload();
        put(c.addr, {0, 0}); // sets the pointer where it is acknowledged
        for (int i = 0; i < 5; i++) {
            std::vector<uint8_t> out(2);
            errno = 0;
            EXPECT_EQ(get(c.addr, out), c.results[i]) << c.config << " read " << i + 1;
            EXPECT_EQ(errno, c.results[i] < 0 ? ENXIO : 0) << c.config << " read " << i + 1;
        }
    }
}

TEST_F(SimI2c, AdapterAndIoctlErrors)
{
    struct Case {
        unsigned long request, arg;
        int result, err;
    } cases[] = {{I2C_SLAVE, 0x7f, 0, 0},
                 {I2C_SLAVE, 0x80, -1, EINVAL},
                 {I2C_SLAVE, 0xA4, -1, EINVAL}, // the 8-bit form by mistake
                 {I2C_FUNCS, 0, -1, ENOTTY}};
    for (const Case &c : cases) {
        errno = 0;
        EXPECT_EQ(plat_ioctl(bus, c.request, c.arg), c.result) << std::hex << c.request << " " << c.arg;
        EXPECT_EQ(errno, c.err);
    }
    uint8_t byte;
    errno = 0;
    EXPECT_EQ(plat_pread(bus, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ESPIPE);

    std::filesystem::remove(root + "/dev/i2c-0");
    errno = 0;
    EXPECT_EQ(plat_open("/dev/i2c-0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

} // namespace
