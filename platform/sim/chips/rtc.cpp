// The real-time clock at 0x68 behind switch channel 0: seven BCD registers
// (seconds, minutes, hours, day of week, date, month, year), latched at the
// start of each read. /board/rtc pins the time; without it the host's UTC time
// shows. Writes only move the register pointer: the board file sets the clock.
#include <time.h>

#include <cstdio>
#include <string>

#include "platform/sim/board.h"
#include "platform/sim/chips/chips.h"

namespace {

constexpr unsigned kRegisters = 7;

unsigned g_pointer = 0;

uint8_t bcd(int v) { return static_cast<uint8_t>((v / 10) << 4 | (v % 10)); }

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// 0 = Sunday.
int weekday(int y, int m, int d)
{
    static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (m < 3)
        y--;
    return (y + y / 4 - y / 100 + y / 400 + offsets[m - 1] + d) % 7;
}

bool board_time(tm &t)
{
    std::string text;
    if (!sim_load(sim_file("/board/rtc"), text))
        return false;
    int y, mo, d, h, mi, s, used = 0;
    if (sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &used) != 6)
        return false;
    if (text.find_first_not_of(" \t\r\n", static_cast<size_t>(used)) != std::string::npos)
        return false;
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 2000 || y > 2099 || mo < 1 || mo > 12 || d < 1 || h > 23 || mi > 59 || s > 59 || h < 0 ||
        mi < 0 || s < 0)
        return false;
    if (d > days[mo - 1] + (mo == 2 && leap(y) ? 1 : 0))
        return false;
    t = tm{};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_wday = weekday(y, mo, d);
    return true;
}

} // namespace

void sim_rtc_reset() { g_pointer = 0; }

ssize_t sim_rtc_write(std::span<const uint8_t> data)
{
    if (!data.empty())
        g_pointer = data[0] % kRegisters;
    return static_cast<ssize_t>(data.size());
}

ssize_t sim_rtc_read(std::span<uint8_t> out)
{
    tm t;
    if (!board_time(t)) {
        const time_t now = time(nullptr);
        gmtime_r(&now, &t);
    }
    const uint8_t regs[kRegisters] = {
        bcd(t.tm_sec),  bcd(t.tm_min),     bcd(t.tm_hour),       bcd(t.tm_wday + 1), // day of week 1 = Sunday
        bcd(t.tm_mday), bcd(t.tm_mon + 1), bcd(t.tm_year % 100),
    };
    for (uint8_t &b : out) {
        b = regs[g_pointer];
        g_pointer = (g_pointer + 1) % kRegisters;
    }
    return static_cast<ssize_t>(out.size());
}
