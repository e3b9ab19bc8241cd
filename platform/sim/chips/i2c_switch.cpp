// The I2C switch at 0x70 on bus 1: one control byte, kept in /board/switch so
// that, like the real chip, it keeps its channels between processes.
#include <cerrno>
#include <string>

#include "platform/sim/board.h"
#include "platform/sim/chips/chips.h"

void sim_switch_reset() {}

uint8_t sim_switch_control()
{
    std::string state;
    if (!sim_load(sim_file("/board/switch"), state) || state.empty())
        return 0;
    return static_cast<uint8_t>(state[0]);
}

ssize_t sim_switch_write(std::span<const uint8_t> data)
{
    if (data.empty())
        return 0;
    // Every byte loads the control register; the last one stays.
    const char control = static_cast<char>(data.back());
    if (!sim_store(sim_file("/board/switch"), std::string_view(&control, 1)))
        return -EIO;
    return static_cast<ssize_t>(data.size());
}

ssize_t sim_switch_read(std::span<uint8_t> out)
{
    const uint8_t control = sim_switch_control();
    for (uint8_t &b : out)
        b = control;
    return static_cast<ssize_t>(out.size());
}
