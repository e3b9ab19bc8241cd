// The I2C adapters as i2c-dev presents them: I2C_SLAVE picks the target, read
// and write are whole transfers to it. The bus only routes; the chips answer.
// Bus 1 carries the switch, and behind its channel 0 the EEPROM, the clock and
// the logic device; bus 0 is empty.
#include <linux/i2c-dev.h>

#include <cerrno>

#include "platform/sim/board.h"
#include "platform/sim/chips/chips.h"

namespace {

constexpr size_t kMaxTransfer = 8192; // i2c-dev's cap per read/write

struct ChipSlot {
    SimChip chip;
    uint16_t addr;
    bool behindSwitch;
    ssize_t (*read)(std::span<uint8_t> out);
    ssize_t (*write)(std::span<const uint8_t> data);
};

constexpr ChipSlot kBus1[] = {
    {SimChip::Switch, 0x70, false, sim_switch_read, sim_switch_write},
    {SimChip::Eeprom, 0x52, true, sim_eeprom_read, sim_eeprom_write},
    {SimChip::Rtc, 0x68, true, sim_rtc_read, sim_rtc_write},
    {SimChip::Cpld, 0x60, true, sim_cpld_read, sim_cpld_write},
};

uint64_t g_transfers[kSimChipCount];
uint64_t g_reads[kSimChipCount];

const ChipSlot *find_chip(const SimI2cClient &client)
{
    if (client.bus != 1)
        return nullptr;
    for (const ChipSlot &slot : kBus1)
        if (slot.addr == client.addr)
            return &slot;
    return nullptr;
}

// Whether the addressed chip sees and acknowledges this transfer; counts it
// when it reaches the chip.
const ChipSlot *acknowledging_chip(const SimI2cClient &client)
{
    const ChipSlot *slot = find_chip(client);
    if (!slot)
        return nullptr;
    const SimConfig &cfg = sim_config();
    const int i = static_cast<int>(slot->chip);
    if (cfg.chips[i].absent)
        return nullptr;
    // A missing switch passes nothing downstream; one that stopped acknowledging
    // keeps the channels it last had.
    if (slot->behindSwitch &&
        (cfg.chips[static_cast<int>(SimChip::Switch)].absent || (sim_switch_control() & 0x01) == 0))
        return nullptr;
    const uint64_t n = ++g_transfers[i];
    if (cfg.chips[i].nackFrom != 0 && n >= cfg.chips[i].nackFrom)
        return nullptr;
    return slot;
}

// Like a system call, success leaves errno alone (the models' file look-ups
// may have touched it).
ssize_t answer(ssize_t result, int saved_errno)
{
    errno = result >= 0 ? saved_errno : static_cast<int>(-result);
    return result >= 0 ? result : -1;
}

} // namespace

void sim_i2c_reset()
{
    for (int i = 0; i < kSimChipCount; i++)
        g_transfers[i] = g_reads[i] = 0;
}

int sim_i2c_ioctl(SimI2cClient &client, unsigned long request, unsigned long arg)
{
    if (request != I2C_SLAVE && request != I2C_SLAVE_FORCE) {
        errno = ENOTTY;
        return -1;
    }
    if (arg > 0x7f) {
        errno = EINVAL;
        return -1;
    }
    client.addr = static_cast<uint16_t>(arg);
    return 0;
}

ssize_t sim_i2c_read(const SimI2cClient &client, void *buf, size_t len)
{
    const int saved_errno = errno;
    const ChipSlot *slot = acknowledging_chip(client);
    if (!slot) {
        errno = ENXIO;
        return -1;
    }
    if (len > kMaxTransfer)
        len = kMaxTransfer;
    const int i = static_cast<int>(slot->chip);
    if (++g_reads[i] == sim_config().chips[i].shortRead && len > 0)
        len--;
    return answer(slot->read({static_cast<uint8_t *>(buf), len}), saved_errno);
}

ssize_t sim_i2c_write(const SimI2cClient &client, const void *buf, size_t len)
{
    const int saved_errno = errno;
    const ChipSlot *slot = acknowledging_chip(client);
    if (!slot) {
        errno = ENXIO;
        return -1;
    }
    if (len > kMaxTransfer)
        len = kMaxTransfer;
    return answer(slot->write({static_cast<const uint8_t *>(buf), len}), saved_errno);
}
