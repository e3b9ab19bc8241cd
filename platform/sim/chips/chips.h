// Chip models on the simulated I2C bus. The bus has already routed and
// acknowledged the transfer; a model answers the byte count moved, or -errno
// when its state file cannot be used. Each model owns one file under /board.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>

// Forget in-memory pointers (the files are the chips' lasting state).
void sim_switch_reset();
void sim_eeprom_reset();
void sim_rtc_reset();
void sim_cpld_reset();

// The switch's control byte (bit n enables downstream channel n).
uint8_t sim_switch_control();

ssize_t sim_switch_write(std::span<const uint8_t> data);
ssize_t sim_switch_read(std::span<uint8_t> out);
ssize_t sim_eeprom_write(std::span<const uint8_t> data);
ssize_t sim_eeprom_read(std::span<uint8_t> out);
ssize_t sim_rtc_write(std::span<const uint8_t> data);
ssize_t sim_rtc_read(std::span<uint8_t> out);
ssize_t sim_cpld_write(std::span<const uint8_t> data);
ssize_t sim_cpld_read(std::span<uint8_t> out);
