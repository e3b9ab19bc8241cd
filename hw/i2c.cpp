#include "hw/i2c.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

int i2cBusFd[2] = {0, 0};

namespace {

constexpr uint64_t WRITE_SETTLE_US = 100000; // EEPROM and logic device need this after a write

// An entry that is not a descriptor (closed, or its open failed) must never reach the
// system: 0 would be standard input. The access fails with EBADF and its usual message.
int bus_fd(int bus)
{
    if (bus < 0 || bus > 1 || i2cBusFd[bus] <= 0) {
        errno = EBADF;
        return -1;
    }
    return i2cBusFd[bus];
}

int set_slave(int bus, uint8_t addr8)
{
    const int fd = bus_fd(bus);
    return fd < 0 ? -1 : plat_ioctl(fd, I2C_SLAVE, static_cast<unsigned long>(addr8 >> 1));
}

ssize_t bus_write(int bus, const uint8_t *bytes, size_t len)
{
    const int fd = bus_fd(bus);
    return fd < 0 ? -1 : plat_write(fd, bytes, len);
}

ssize_t bus_read(int bus, uint8_t *bytes, size_t len)
{
    const int fd = bus_fd(bus);
    return fd < 0 ? -1 : plat_read(fd, bytes, len);
}

// Select, transfer, release: the switch is left with all channels off after every access.
struct SwitchChannel {
    SwitchChannel() { i2c_mux_select(I2C_SWITCH_ADDR, I2C_BOARD_BUS, 0); }
    ~SwitchChannel() { i2c_mux_release(I2C_SWITCH_ADDR, I2C_BOARD_BUS); }
    SwitchChannel(const SwitchChannel &) = delete;
    SwitchChannel &operator=(const SwitchChannel &) = delete;
};

} // namespace

int i2c_open_buses()
{
    for (int bus = 0; bus < 2; bus++) {
        char path[32];
        snprintf(path, sizeof path, "/dev/i2c-%d", bus);
        i2cBusFd[bus] = plat_open(path, O_RDWR);
        if (i2cBusFd[bus] < 0) {
            printf("ERROR: driver %s couldn't be opened\n", path);
            return -1;
        }
    }
    return 0;
}

int i2c_close_buses()
{
    for (int &fd : i2cBusFd) {
        if (fd > 0) {
            plat_close(fd);
            fd = 0;
        }
    }
    return 0;
}

int i2c_mux_select(uint8_t switchAddr, int bus, int channel)
{
    set_slave(bus, switchAddr);
    const uint8_t mask = static_cast<uint8_t>(1u << channel);
    return static_cast<int>(bus_write(bus, &mask, 1));
}

int i2c_mux_release(uint8_t switchAddr, int bus)
{
    set_slave(bus, switchAddr);
    const uint8_t off = 0;
    return static_cast<int>(bus_write(bus, &off, 1));
}

int i2c_read_registers(int bus, uint8_t device, uint16_t offset, int count, int offsetWidth, uint8_t *dest)
{
    uint8_t offsetBytes[2];
    if (offsetWidth == 2) {
        offsetBytes[0] = static_cast<uint8_t>(offset >> 8);
        offsetBytes[1] = static_cast<uint8_t>(offset);
    } else {
        offsetBytes[0] = static_cast<uint8_t>(offset);
    }
    if (set_slave(bus, device) < 0) {
        printf("I2C error when setting bus %d, device 0x%x: %d\n", bus, device, errno);
        return 0;
    }
    if (bus_write(bus, offsetBytes, static_cast<size_t>(offsetWidth)) != offsetWidth) {
        printf("I2C error - device 0x%x writing bus %d offset %d: %d\n", device, bus, offset, errno);
        return 0;
    }
    if (bus_read(bus, dest, static_cast<size_t>(count)) != count) {
        printf("I2C error - device 0x%x @ %d, %d bytes : %d\n", device, offset, count, errno);
        return 0;
    }
    return count;
}

uint8_t eeprom_read(uint16_t offset, int count, uint8_t *dest)
{
    SwitchChannel channel;
    i2c_read_registers(I2C_BOARD_BUS, EEPROM_ADDR, offset, count, 2, dest);
    return dest[0];
}

namespace {

// Shared shape of the EEPROM and logic-device writes: address, write, settle, report.
int write_device(uint8_t addr8, const uint8_t *bytes, size_t len, const char *slaveMessage,
                 const char *writeMessage, int offset)
{
    SwitchChannel channel;
    const int rc = set_slave(I2C_BOARD_BUS, addr8);
    if (rc < 0) {
        printf(slaveMessage, I2C_BOARD_BUS, errno);
        return rc;
    }
    const int written = static_cast<int>(bus_write(I2C_BOARD_BUS, bytes, len));
    const int writeErrno = errno;
    plat_sleep_us(WRITE_SETTLE_US);
    if (written < 0)
        printf(writeMessage, I2C_BOARD_BUS, offset, writeErrno);
    return written;
}

uint8_t read_byte(uint16_t offset)
{
    uint8_t value = 0;
    eeprom_read(offset, 1, &value);
    return value;
}

} // namespace

int eeprom_write_byte(uint16_t offset, uint8_t value)
{
    const uint8_t bytes[3] = {static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), value};
    return write_device(EEPROM_ADDR, bytes, sizeof bytes, "I2C error when setting bus %d: %d\n",
                        "I2C error when writing bus %d offset %d: %d\n", offset);
}

uint8_t eeprom_read_boot_selection() { return read_byte(EEPROM_BOOT_SELECTION); }
uint8_t eeprom_read_usb_boot_enable() { return read_byte(EEPROM_USB_BOOT_ENABLE); }
uint8_t eeprom_read_serial(uint8_t *dest) { return eeprom_read(EEPROM_SERIAL, EEPROM_SERIAL_LEN, dest); }
int eeprom_set_boot_selection(uint8_t slot) { return eeprom_write_byte(EEPROM_BOOT_SELECTION, slot); }
int eeprom_set_boot_source(uint8_t source) { return eeprom_write_byte(EEPROM_BOOT_SOURCE, source); }

int eeprom_set_install_time(int slot, const RtcTime *time)
{
    uint16_t base;
    if (slot == 1)
        base = EEPROM_INSTALL_TIME_1;
    else if (slot == 2)
        base = EEPROM_INSTALL_TIME_2;
    else
        return 0;
    for (int i = 0; i < 7; i++) {
        if (eeprom_write_byte(static_cast<uint16_t>(base + i), time->bytes[i]) < 0) {
            printf("Error setting image timestamp at offset 0x%x byte %d\n", base, i);
            return 0;
        }
    }
    return 1;
}

int record_install_time(int slot)
{
    RtcTime now{}; // a failed clock read records zeros, not stack garbage
    rtc_read_time(&now);
    plat_sleep_us(1000000);
    return eeprom_set_install_time(slot, &now);
}

int rtc_read_time(RtcTime *time)
{
    SwitchChannel channel;
    return i2c_read_registers(I2C_BOARD_BUS, RTC_ADDR, 0, 7, 1, time->bytes);
}

uint8_t cpld_read(uint8_t reg, uint8_t *dest)
{
    SwitchChannel channel;
    i2c_read_registers(I2C_BOARD_BUS, CPLD_ADDR, reg, 1, 1, dest);
    return *dest;
}

int cpld_write(uint8_t reg, uint8_t value)
{
    const uint8_t bytes[2] = {reg, value};
    return write_device(CPLD_ADDR, bytes, sizeof bytes, "I2C error when setting LED on bus %d: %d\n",
                        "I2C error when writing LED on bus %d offset %d: %d\n", reg);
}
