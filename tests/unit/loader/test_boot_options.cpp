#include <cstring>

#include "board_fixture.h"
#include "boot/boot_options.h"

namespace {

struct Expect {
    int32_t gdb, gdbServer, port;
    uint8_t shell, memchk;
    int32_t rescue, lowsec, diags;
};

bool operator==(const BootOptions &o, const Expect &e)
{
    return o.gdbEnabled == e.gdb && o.gdbServerEnabled == e.gdbServer && o.gdbPort == e.port &&
           o.shellEnabled == e.shell && o.memCheckEnabled == e.memchk && o.rescueAtStart == e.rescue &&
           o.lowSecAuthorised == e.lowsec && o.diagsAtStart == e.diags;
}

TEST(BootOptionsText, Table)
{
    struct Case {
        const char *text;
        Expect want;
    };
    const Case cases[] = {
        {"", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"bootcmd=run x gdb=on", {1, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdb=onward", {1, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdb=On", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"xgdb=on", {1, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbserver=on", {1, 1, 1234, 0, 0, 0, 0, 0}},
        {"gdb=off gdbserver=on", {1, 1, 1234, 0, 0, 0, 0, 0}},
        {"gdb=on gdb=off", {1, 0, 1234, 0, 0, 0, 0, 0}}, // later occurrences are never seen
        {"gdbport=4321", {0, 0, 4321, 0, 0, 0, 0, 0}},
        {"gdbport=-5", {0, 0, -5, 0, 0, 0, 0, 0}},
        {"gdbport=  77x", {0, 0, 77, 0, 0, 0, 0, 0}},
        {"gdbport=abc", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=99999999999", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=-99999999999", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"gdbport=99999999999999999999", {0, 0, 1234, 0, 0, 0, 0, 0}}, // past even a long
        {"gdbport=+80", {0, 0, 80, 0, 0, 0, 0, 0}},
        {"shell= memchk=on", {0, 0, 1234, 0, 1, 0, 0, 0}},
        {"shell=on", {0, 0, 1234, 1, 0, 0, 0, 0}},
        {"diagnostics=diags", {0, 0, 1234, 0, 0, 0, 0, 1}},
        {"diagnostics=rescue", {0, 0, 1234, 0, 0, 1, 0, 0}},
        {"diagnostics=diagsrescue", {0, 0, 1234, 0, 0, 0, 0, 1}},
        {"diagnostics=none diagnostics=rescue", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"lowsec=authorised", {0, 0, 1234, 0, 0, 0, 1, 0}},
        {"lowsec=authorise", {0, 0, 1234, 0, 0, 0, 0, 0}},
        {"args=console=ttyS0 shell=on", {0, 0, 1234, 1, 0, 0, 0, 0}}, // inside another value
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_TRUE(boot_options_from_text(c.text) == c.want);
    }
}

class BootOptionsFlash : public BoardTest {
  protected:
    void SetUp() override
    {
        BoardTest::SetUp();
        ASSERT_TRUE(sim_board_make_partition("ubootenv", 256 * 1024));
    }
    BootOptions parse()
    {
        for (int &fd : flashFd) {
            if (fd >= 0)
                close(fd);
        }
        flash_open_partitions();
        bootOptions = boot_options_from_text("");
        bootOptions.gdbPort = -1; // must be overwritten by the parse
        parse_boot_options();
        return bootOptions;
    }
};

TEST_F(BootOptionsFlash, FromTheEnvironmentPartition)
{
    // CRC word, then NUL-terminated entries, then erased flash. "shell=" then NUL is
    // an empty value; "gdbport=" NUL "7000" reads 7000 past the blank.
    std::string env("\x12\x34\x56\x78", 4);
    for (const char *entry : {"bootdelay=3", "shell=", "memchk=on", "gdbport=", "7000", "diagnostics=rescue"})
        env += std::string(entry) + '\0';
    env.resize(256 * 1024, '\xff');
    const struct {
        const char *name;
        std::string env; // empty: no device at all
        Expect want;
        const char *console;
    } cases[] = {
        {"erased", std::string(256 * 1024, '\xff'), {0, 0, 1234, 0, 0, 0, 0, 0}, ""},
        {"entries", env, {0, 0, 7000, 0, 1, 1, 0, 0}, ""},
        {"short partition", std::string("\0\0\0\0gdb=on\0", 11), {1, 0, 1234, 0, 0, 0, 0, 0}, ""},
        {"no device", "", {0, 0, -1, 0, 0, 0, 0, 0}, "Could not get MTD device info \n"}, // nothing parsed
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.env.empty())
            ASSERT_EQ(unlink((root_ + "/dev/mtd-ubootenv").c_str()), 0);
        else
            ASSERT_TRUE(sim_board_write_file("/dev/mtd-ubootenv", c.env));
        Console console;
        EXPECT_TRUE(parse() == c.want);
        EXPECT_EQ(console.text(), c.console);
    }
}

} // namespace
