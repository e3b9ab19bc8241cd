// The board EEPROM at 0x52 behind switch channel 0: 16-bit word address set by
// the first two bytes of a write, sequential reads and writes from there. The
// contents live in /board/eeprom.bin; without it the part is erased (0xFF).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/sim/board.h"
#include "platform/sim/chips/chips.h"

namespace {

constexpr size_t kDefaultSize = 8192;

uint32_t g_pointer = 0;

// Answers whether the file holds the part (else the contents are the default).
bool load_contents(std::string &mem)
{
    if (sim_load(sim_file("/board/eeprom.bin"), mem) && !mem.empty())
        return true;
    mem.assign(kDefaultSize, '\xff');
    return false;
}

} // namespace

void sim_eeprom_reset() { g_pointer = 0; }

ssize_t sim_eeprom_write(std::span<const uint8_t> data)
{
    // A lone first address byte is dropped, as a stop in mid-address would be.
    if (data.size() < 2)
        return static_cast<ssize_t>(data.size());
    std::string mem;
    const bool present = load_contents(mem);
    g_pointer = static_cast<uint32_t>(data[0] << 8 | data[1]) % mem.size();
    if (data.size() == 2)
        return 2;
    // A part that has no file yet gets a whole one first, by rename.
    if (!present && !sim_store(sim_file("/board/eeprom.bin"), mem))
        return -EIO;
    SimUniqueFd f(open(sim_file("/board/eeprom.bin").c_str(), O_WRONLY | O_CLOEXEC));
    if (f.fd < 0)
        return -EIO;
    // Byte by byte in place, as the chip programs them, so that a cut loses at
    // most the byte being written.
    for (uint8_t b : data.subspan(2)) {
        const bool cut = sim_power_cut_due(SimCut::Eeprom);
        mem[g_pointer] = cut ? '\xff' : static_cast<char>(b); // the byte in flight is lost
        if (pwrite(f.fd, &mem[g_pointer], 1, g_pointer) != 1)
            return -EIO;
        if (cut) {
            char detail[32];
            snprintf(detail, sizeof detail, "offset %u", g_pointer);
            sim_power_cut(SimCut::Eeprom, detail);
        }
        g_pointer = static_cast<uint32_t>((g_pointer + 1) % mem.size());
    }
    return static_cast<ssize_t>(data.size());
}

ssize_t sim_eeprom_read(std::span<uint8_t> out)
{
    std::string mem;
    load_contents(mem);
    g_pointer %= mem.size();
    for (uint8_t &b : out) {
        b = static_cast<uint8_t>(mem[g_pointer]);
        g_pointer = static_cast<uint32_t>((g_pointer + 1) % mem.size());
    }
    return static_cast<ssize_t>(out.size());
}
