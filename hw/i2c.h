// Board I2C peripherals on bus 1, all behind channel 0 of the I2C switch.
// Addresses are 8-bit (7-bit address << 1) everywhere but at the I2C_SLAVE ioctl.
#pragma once

#include <cstdint>

constexpr uint8_t I2C_SWITCH_ADDR = 0xE0;
constexpr uint8_t EEPROM_ADDR = 0xA4;
constexpr uint8_t RTC_ADDR = 0xD0;
constexpr uint8_t CPLD_ADDR = 0xC0;
constexpr int I2C_BOARD_BUS = 1;

constexpr uint16_t EEPROM_SERIAL = 13;
constexpr uint16_t EEPROM_SERIAL_LEN = 12;
constexpr uint16_t EEPROM_BOOT_SELECTION = 256;
constexpr uint16_t EEPROM_INSTALL_TIME_1 = 264;
constexpr uint16_t EEPROM_INSTALL_TIME_2 = 272;
constexpr uint16_t EEPROM_BOOT_SOURCE = 314;
constexpr uint16_t EEPROM_USB_BOOT_ENABLE = 315;

constexpr uint8_t CPLD_LED_REGISTER = 5;

// Seven BCD bytes: seconds, minutes, hours, day of week, date, month, year.
struct RtcTime {
    uint8_t bytes[7];
};

// Index = bus number: the open descriptor, negative after a failed open, 0 when closed.
extern int i2cBusFd[2];

int i2c_open_buses();
int i2c_close_buses();
int i2c_mux_select(uint8_t switchAddr, int bus, int channel);
int i2c_mux_release(uint8_t switchAddr, int bus);
int i2c_read_registers(int bus, uint8_t device, uint16_t offset, int count, int offsetWidth, uint8_t *dest);

uint8_t eeprom_read(uint16_t offset, int count, uint8_t *dest);
int eeprom_write_byte(uint16_t offset, uint8_t value);
uint8_t eeprom_read_boot_selection();
int eeprom_set_boot_selection(uint8_t slot);
int eeprom_set_boot_source(uint8_t source);
uint8_t eeprom_read_serial(uint8_t *dest);
uint8_t eeprom_read_usb_boot_enable();
int eeprom_set_install_time(int slot, const RtcTime *time);
int record_install_time(int slot);

int rtc_read_time(RtcTime *time);

uint8_t cpld_read(uint8_t reg, uint8_t *dest);
int cpld_write(uint8_t reg, uint8_t value);
