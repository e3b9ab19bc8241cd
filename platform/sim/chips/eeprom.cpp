// The board EEPROM at 0x52 behind switch channel 0: 16-bit word address set by
// the first two bytes of a write, sequential reads and writes from there. The
// contents live in /board/eeprom.bin; without it the part is erased (0xFF).
#include <cerrno>
#include <string>

#include "platform/sim/board.h"
#include "platform/sim/chips/chips.h"

namespace {

constexpr size_t kDefaultSize = 8192;

uint32_t g_pointer = 0;

std::string load_contents()
{
    std::string mem;
    if (!sim_load(sim_file("/board/eeprom.bin"), mem) || mem.empty())
        mem.assign(kDefaultSize, '\xff');
    return mem;
}

} // namespace

void sim_eeprom_reset() { g_pointer = 0; }

ssize_t sim_eeprom_write(std::span<const uint8_t> data)
{
    // A lone first address byte is dropped, as a stop in mid-address would be.
    if (data.size() < 2)
        return static_cast<ssize_t>(data.size());
    std::string mem = load_contents();
    g_pointer = static_cast<uint32_t>(data[0] << 8 | data[1]) % mem.size();
    if (data.size() == 2)
        return 2;
    for (uint8_t b : data.subspan(2)) {
        mem[g_pointer] = static_cast<char>(b);
        g_pointer = static_cast<uint32_t>((g_pointer + 1) % mem.size());
    }
    if (!sim_store(sim_file("/board/eeprom.bin"), mem))
        return -EIO;
    return static_cast<ssize_t>(data.size());
}

ssize_t sim_eeprom_read(std::span<uint8_t> out)
{
    const std::string mem = load_contents();
    g_pointer %= mem.size();
    for (uint8_t &b : out) {
        b = static_cast<uint8_t>(mem[g_pointer]);
        g_pointer = static_cast<uint32_t>((g_pointer + 1) % mem.size());
    }
    return static_cast<ssize_t>(out.size());
}
