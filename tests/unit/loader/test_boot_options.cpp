#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "boot/boot_options.h"

namespace {

auto fields(const BootOptions &o)
{
    return std::tuple(o.gdbEnabled, o.gdbServerEnabled, o.gdbPort, o.shellEnabled, o.memCheckEnabled,
                      o.rescueAtStart, o.lowSecAuthorised, o.diagsAtStart);
}

// Keys match as plain substrings, first occurrence only.
TEST(BootOptionsText, Table)
{
    const std::pair<const char *, BootOptions> cases[] = {
        {"xgdb=onward shell= memchk=on lowsec=authorise", {1, 0, 1234, 0, 1, 0, 0, 0}},
        {"gdb=On args=console=ttyS0 shell=on diagnostics=diagsrescue", {0, 0, 1234, 1, 0, 0, 0, 1}},
        {"gdb=off gdbserver=on diagnostics=rescue lowsec=authorised", {1, 1, 1234, 0, 0, 1, 1, 0}},
        {"gdb=on gdb=off diagnostics=none diagnostics=rescue", {1, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=  77x", {0, 0, 77, 0, 0, 0, 0, 0}},
        {"gdbport=+80", {0, 0, 80, 0, 0, 0, 0, 0}},
        {"gdbport=abc", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=99999999999", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=-99999999999", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=99999999999999999999", {0, 0, 1234, 0, 0, 0, 0, 0}}, // past even a long
    };
    for (const auto &[text, want] : cases)
        EXPECT_EQ(fields(boot_options_from_text(text)), fields(want)) << text;
}

} // namespace
