// The board logic device at 0x60 behind switch channel 0: 256 registers in
// /board/cpld.bin, a 1-byte write sets the pointer, further bytes are stored
// from it. Register 5 drives the location LED; each write to it is logged with
// a monotonic time stamp in /board/led.log.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/sim/board.h"
#include "platform/sim/chips/chips.h"

namespace {

constexpr size_t kRegisters = 256;
constexpr uint8_t kLedRegister = 5;

uint8_t g_pointer = 0;

std::string load_registers()
{
    std::string regs;
    sim_load(sim_file("/board/cpld.bin"), regs);
    regs.resize(kRegisters, '\0');
    return regs;
}

bool log_led(uint8_t value)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char line[64];
    const int n = snprintf(line, sizeof line, "%lld.%06ld 0x%02x\n", static_cast<long long>(ts.tv_sec),
                           static_cast<long>(ts.tv_nsec / 1000), value);
    SimUniqueFd f(open(sim_file("/board/led.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    return f.fd >= 0 && write(f.fd, line, static_cast<size_t>(n)) == n;
}

} // namespace

void sim_cpld_reset() { g_pointer = 0; }

ssize_t sim_cpld_write(std::span<const uint8_t> data)
{
    if (data.empty())
        return 0;
    g_pointer = data[0];
    if (data.size() == 1)
        return 1;
    std::string regs = load_registers();
    bool logged = true;
    for (uint8_t b : data.subspan(1)) {
        regs[g_pointer] = static_cast<char>(b);
        if (g_pointer == kLedRegister)
            logged = log_led(b) && logged;
        g_pointer++;
    }
    if (!sim_store(sim_file("/board/cpld.bin"), regs) || !logged)
        return -EIO;
    return static_cast<ssize_t>(data.size());
}

ssize_t sim_cpld_read(std::span<uint8_t> out)
{
    const std::string regs = load_registers();
    for (uint8_t &b : out)
        b = static_cast<uint8_t>(regs[g_pointer++]);
    return static_cast<ssize_t>(out.size());
}
