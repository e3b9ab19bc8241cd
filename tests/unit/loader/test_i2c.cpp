#include <regex>

#include "board_fixture.h"

namespace {

class I2cTest : public BoardTest {
  protected:
    void open_buses()
    {
        Console console;
        ASSERT_EQ(i2c_open_buses(), 0);
        ASSERT_EQ(console.text(), "");
    }
    std::string eeprom() { return board_file("/board/eeprom.bin"); }
    // The switch must be left with every channel off after each access.
    void expect_switch_released() { EXPECT_EQ(board_file("/board/switch"), std::string(1, '\0')); }
};

TEST_F(I2cTest, MissingAdapterStopsAtTheFirstBus)
{
    ASSERT_EQ(unlink((root_ + "/dev/i2c-0").c_str()), 0);
    {
        Console console;
        EXPECT_EQ(i2c_open_buses(), -1);
        EXPECT_EQ(console.text(), "ERROR: driver /dev/i2c-0 couldn't be opened\n");
    }
    // Bus 1 was never opened: every access fails with its message and reads as 0.
    Console console;
    EXPECT_EQ(eeprom_read_boot_selection(), 0);
    EXPECT_EQ(eeprom_read_usb_boot_enable(), 0);
    EXPECT_LT(eeprom_set_boot_source(1), 0);
    EXPECT_EQ(console.text(), "I2C error when setting bus 1, device 0xa4: 9\n"
                              "I2C error when setting bus 1, device 0xa4: 9\n"
                              "I2C error when setting bus 1: 9\n");
}

TEST_F(I2cTest, FailureMessages)
{
    struct Case {
        const char *fault;
        std::string (*run)();
        const char *pattern; // regex over the console text
    };
    const Case cases[] = {
        {"absent eeprom", [] { return std::to_string(eeprom_read_boot_selection()); },
         "I2C error - device 0xa4 writing bus 1 offset 256: 6\n"},
        {"absent eeprom", [] { return std::to_string(eeprom_set_boot_selection(1)); },
         "I2C error when writing bus 1 offset 256: 6\n"},
        {"absent rtc",
         [] {
             RtcTime t{};
             return std::to_string(rtc_read_time(&t));
         },
         "I2C error - device 0xd0 writing bus 1 offset 0: 6\n"},
        {"short_read rtc 1",
         [] {
             RtcTime t{};
             return std::to_string(rtc_read_time(&t));
         },
         "I2C error - device 0xd0 @ 0, 7 bytes : -?[0-9]+\n"},
        {"absent switch", [] { return std::to_string(eeprom_read_boot_selection()); },
         "I2C error - device 0xa4 writing bus 1 offset 256: 6\n"},
        {"absent cpld", [] { return std::to_string(cpld_write(CPLD_LED_REGISTER, 1)); },
         "I2C error when writing LED on bus 1 offset 5: 6\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fault);
        ASSERT_TRUE(sim_board_write_file("/board/config", std::string("time_scale 0\n") + c.fault + "\n"));
        sim_board_reload();
        open_buses();
        Console console;
        const std::string result = c.run();
        const std::string text = console.text();
        EXPECT_TRUE(std::regex_match(text, std::regex(c.pattern))) << text;
        EXPECT_TRUE(result == "0" || result[0] == '-') << result;
        i2c_close_buses();
    }
}

TEST_F(I2cTest, ClockReadsAsBcdAndAShortReadKeepsTheRest)
{
    ASSERT_TRUE(sim_board_write_file("/board/rtc", "2026-12-05 10:45:59"));
    open_buses();
    RtcTime t{};
    EXPECT_GT(rtc_read_time(&t), 0);
    EXPECT_EQ(std::vector<uint8_t>(t.bytes, t.bytes + 7),
              (std::vector<uint8_t>{0x59, 0x45, 0x10, 0x07, 0x05, 0x12, 0x26}));
    expect_switch_released();

    config("short_read rtc 1");
    std::fill(std::begin(t.bytes), std::end(t.bytes), 0xEE);
    Console console;
    EXPECT_EQ(rtc_read_time(&t), 0);
    console.text();
    EXPECT_EQ(t.bytes[0], 0x59);
    EXPECT_EQ(t.bytes[6], 0xEE);
}

TEST_F(I2cTest, InstallTimeWritesSevenBytesAtTheSlotBase)
{
    ASSERT_TRUE(sim_board_write_file("/board/rtc", "2026-12-05 10:45:59"));
    open_buses();
    EXPECT_EQ(record_install_time(2), 1);
    EXPECT_EQ(eeprom().substr(272, 7).substr(0, 3), "\x59\x45\x10");
    EXPECT_EQ(eeprom().substr(276, 3), "\x05\x12\x26");

    const RtcTime t{{1, 2, 3, 4, 5, 6, 7}};
    const std::string before = eeprom();
    EXPECT_EQ(eeprom_set_install_time(3, &t), 0);
    EXPECT_EQ(eeprom(), before);
}

TEST_F(I2cTest, InstallTimePartialFailureKeepsTheBytesWritten)
{
    config("nack eeprom 4"); // the fourth byte write is not acknowledged
    open_buses();
    const RtcTime t{{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}};
    Console console;
    EXPECT_EQ(eeprom_set_install_time(1, &t), 0);
    EXPECT_EQ(console.text(), "I2C error when writing bus 1 offset 267: 6\n"
                              "Error setting image timestamp at offset 0x108 byte 3\n");
    EXPECT_EQ(eeprom().substr(264, 4), std::string("\x11\x22\x33\xff"));
}

} // namespace
