#include <cerrno>

#include "board_fixture.h"
#include "rescue/xmodem.h"

namespace {

class I2cTest : public BoardTest {};

const RtcTime time7{{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
RtcTime rtc;
uint8_t byte;

TEST_F(I2cTest, AccessesAndTheirFailures)
{
    struct Case {
        const char *fault; // "no bus 0": the first adapter is missing
        int (*run)();
        int result;
        const char *console, *eeprom; // eeprom: the install time of slot 1; nullptr: erased
    };
    const Case cases[] = {
        {"", [] { return eeprom_set_boot_selection(2) + 10 * eeprom_read_boot_selection(); }, 23, "",
         nullptr},
        // The board answers nothing behind a closed switch, so a loader that forgets it fails here.
        {"", [] { return i2c_read_registers(I2C_BOARD_BUS, EEPROM_ADDR, 256, 1, 2, &byte); }, 0,
         "I2C error - device 0xa4 writing bus 1 offset 256: 6\n", nullptr},
        {"no bus 0", [] { return eeprom_read_boot_selection() + 10 * eeprom_set_boot_source(1); }, -10,
         "ERROR: driver /dev/i2c-0 couldn't be opened\nI2C error when setting bus 1, device 0xa4: 9\n"
         "I2C error when setting bus 1: 9\n",
         nullptr},
        {"short_read rtc 1", [] { return rtc_read_time(&rtc); }, 0,
         "I2C error - device 0xd0 @ 0, 7 bytes : 0\n", nullptr},
        {"", [] { return eeprom_set_install_time(3, &time7); }, 0, "", nullptr},
        {"", [] { return eeprom_set_install_time(1, &time7); }, 1, "", "\x11\x22\x33\x44\x55\x66\x77"},
        // The fourth byte is not acknowledged: the three before it stay written.
        {"nack eeprom 4", [] { return eeprom_set_install_time(1, &time7); }, 0,
         "I2C error when writing bus 1 offset 267: 6\nError setting image timestamp at offset 0x108 byte 3\n",
         "\x11\x22\x33\xff\xff\xff\xff"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.console);
        const bool noBus0 = std::string(c.fault) == "no bus 0";
        reset_config(noBus0 ? "" : c.fault);
        ASSERT_TRUE(sim_board_write_file("/board/eeprom.bin", std::string(8192, '\xff')));
        ASSERT_TRUE(sim_board_write_file("/board/switch", std::string(1, '\0'))); // each row starts closed
        ASSERT_TRUE(!noBus0 || unlink((root_ + "/dev/i2c-0").c_str()) == 0);
        Console console;
        i2c_open_buses();
        errno = 0; // a short read sets none
        EXPECT_EQ(c.run(), c.result);
        EXPECT_EQ(console.text(), c.console);
        EXPECT_EQ(board_file("/board/eeprom.bin").substr(EEPROM_INSTALL_TIME_1, 7),
                  c.eeprom ? c.eeprom : std::string(7, '\xff'));
        // Every access leaves the switch with all channels off.
        EXPECT_TRUE(noBus0 || board_file("/board/switch") == std::string(1, '\0'));
        i2c_close_buses();
        ASSERT_TRUE(sim_board_write_file("/dev/i2c-0", ""));
    }
}

// After a failed switch there is no port: a wait for Enter would hang the rescue menu for good.
TEST(SerialDownloadRate, LeavingAfterAFailedEnterReturnsAtOnceAndSilently)
{
    Console console;
    alarm(5);
    serial_leave_download_rate(-1);
    alarm(0);
    EXPECT_EQ(console.text(), "");
}

} // namespace
