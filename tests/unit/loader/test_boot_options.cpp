#include <gtest/gtest.h>

#include "boot/boot_options.h"

namespace {

// Keys match as plain substrings, first occurrence only.
TEST(BootOptionsText, Table)
{
    struct Case {
        const char *text;
        int32_t gdb, gdbServer, port;
        uint8_t shell, memchk;
        int32_t rescue, lowsec, diags;
    };
    const Case cases[] = {
        {"xgdb=onward shell= memchk=on lowsec=authorise", 1, 0, 1234, 0, 1, 0, 0, 0},
        {"gdb=On args=console=ttyS0 shell=on diagnostics=diagsrescue", 0, 0, 1234, 1, 0, 0, 0, 1},
        {"gdb=off gdbserver=on diagnostics=rescue lowsec=authorised", 1, 1, 1234, 0, 0, 1, 1, 0},
        {"gdb=on gdb=off diagnostics=none diagnostics=rescue", 1, 0, 1234, 0, 0, 0, 0, 0},
        {"gdbport=  77x", 0, 0, 77, 0, 0, 0, 0, 0},
        {"gdbport=+80", 0, 0, 80, 0, 0, 0, 0, 0},
        {"gdbport=abc", 0, 0, 1234, 0, 0, 0, 0, 0},
        {"gdbport=99999999999", 0, 0, 1234, 0, 0, 0, 0, 0},
        {"gdbport=-99999999999", 0, 0, 1234, 0, 0, 0, 0, 0},
        {"gdbport=99999999999999999999", 0, 0, 1234, 0, 0, 0, 0, 0}, // past even a long
    };
    for (const Case &c : cases) {
        const BootOptions o = boot_options_from_text(c.text);
        EXPECT_TRUE(o.gdbEnabled == c.gdb && o.gdbServerEnabled == c.gdbServer && o.gdbPort == c.port &&
                    o.shellEnabled == c.shell && o.memCheckEnabled == c.memchk &&
                    o.rescueAtStart == c.rescue && o.lowSecAuthorised == c.lowsec &&
                    o.diagsAtStart == c.diags)
            << c.text;
    }
}

} // namespace
