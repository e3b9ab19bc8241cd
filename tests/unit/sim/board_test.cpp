#include <filesystem>

#include "platform/sim/board.h"
#include "sim_fixture.h"

namespace {

TEST_F(SimBoard, StartNeedsTheSandboxMarker)
{
    ASSERT_TRUE(sim_board_write_file("/board/config", "time_scale 0.25\n"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(plat_start(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(sim_config().timeScale, 0.25);

    std::filesystem::remove(root + "/.imgloader-sandbox");
    testing::internal::CaptureStderr();
    EXPECT_NE(plat_start(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "imgloader-sim: not inside a sandbox root, refusing to run\n");
}

TEST(SimConfigText, Parses)
{
    const SimConfig cfg =
        sim_parse_config("# board for the install tests\ntime_scale 0.01   # fast\n"
                         "erasesize 0x1000\nerasesize rfs 131072\nfail kernel erase 2\n"
                         "\tfail kernel write 7\r\nabsent rtc\nnack eeprom 4\nshort_read cpld 3\n"
                         "colour blue\n");
    EXPECT_DOUBLE_EQ(cfg.timeScale, 0.01);
    EXPECT_EQ(cfg.eraseSize, 4096u);
    ASSERT_EQ(cfg.partitionEraseSize.size(), 1u);
    EXPECT_EQ(cfg.partitionEraseSize[0], (std::pair<std::string, uint32_t>("rfs", 131072)));
    ASSERT_EQ(cfg.fails.size(), 2u);
    EXPECT_EQ(cfg.fails[0].partition, "kernel");
    EXPECT_EQ(cfg.fails[0].op, SimMtdOp::Erase);
    EXPECT_EQ(cfg.fails[0].call, 2u);
    EXPECT_EQ(cfg.fails[1].op, SimMtdOp::Write);
    EXPECT_EQ(cfg.fails[1].call, 7u);
    EXPECT_TRUE(cfg.chips[static_cast<int>(SimChip::Rtc)].absent);
    EXPECT_FALSE(cfg.chips[static_cast<int>(SimChip::Eeprom)].absent);
    EXPECT_EQ(cfg.chips[static_cast<int>(SimChip::Eeprom)].nackFrom, 4u);
    EXPECT_EQ(cfg.chips[static_cast<int>(SimChip::Cpld)].shortRead, 3u);
}

TEST(SimConfigText, MalformedLinesKeepTheDefaults)
{
    for (const char *line : {"time_scale fast", "time_scale -2", "erasesize 0", "erasesize 12k",
                             "fail kernel erase 0", "fail kernel format 1", "fail kernel erase", "absent fan",
                             "nack eeprom", "short_read switch 1", "#absent rtc", "absent rtc extra"}) {
        const SimConfig cfg = sim_parse_config(line);
        EXPECT_EQ(cfg.timeScale, 1.0) << line;
        EXPECT_EQ(cfg.eraseSize, 65536u) << line;
        EXPECT_TRUE(cfg.partitionEraseSize.empty() && cfg.fails.empty()) << line;
        for (const SimChipFaults &chip : cfg.chips)
            EXPECT_TRUE(!chip.absent && chip.nackFrom == 0 && chip.shortRead == 0) << line;
    }
}

TEST_F(SimBoard, TimeScaling)
{
    struct Case {
        const char *scale;
        uint64_t us, scaledUs;
        int ms, scaledMs;
        unsigned tenths;
        unsigned char vtime;
    } cases[] = {{"1", 100000, 100000, 5000, 5000, 50, 50}, {"1", 0, 0, -1, -1, 300, 255},
                 {"0.1", 100000, 10000, 30, 3, 30, 3},      {"0.1", 7, 1, 1, 1, 5, 1},
                 {"0.01", 1000000, 10000, 0, 0, 0, 0},      {"0", 5000000, 0, 5000, 1, 50, 1},
                 {"10", 3, 30, 1000, 10000, 30, 255},       {"1e6", 0, 0, 1000000, 2147483647, 1, 255}};
    for (const Case &c : cases) {
        ASSERT_TRUE(sim_board_write_file("/board/config", std::string("time_scale ") + c.scale));
        sim_board_reload();
        SCOPED_TRACE(c.scale);
        EXPECT_EQ(sim_scale_us(c.us), c.scaledUs);
        EXPECT_EQ(sim_scale_ms(c.ms), c.scaledMs);
        EXPECT_EQ(plat_vtime(c.tenths), c.vtime);
    }
}

} // namespace
