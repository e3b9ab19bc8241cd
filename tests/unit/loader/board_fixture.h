// A simulated board in a temporary directory, for tests of the loader's hw code.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "hw/flash.h"
#include "hw/i2c.h"
#include "platform/sim/sim_board.h"

class BoardTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/imgl-board-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        sim_board_set_root(root_.c_str());
        ASSERT_TRUE(sim_board_populate(64 * 1024));
        reset_config("");
    }
    void TearDown() override
    {
        i2c_close_buses();
        for (int &fd : flashFd) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
        sim_board_set_root("");
        std::filesystem::remove_all(root_);
    }
    static void reset_config(const std::string &lines)
    {
        ASSERT_TRUE(sim_board_write_file("/board/config", "time_scale 0\n" + lines + "\n"));
        sim_board_reload();
    }
    static std::string board_file(const std::string &path)
    {
        std::string s;
        sim_board_read_file(path, s);
        return s;
    }

    std::string root_;
};

// Console text printed by the code under test.
struct Console {
    Console()
    {
        fflush(stdout);
        ::testing::internal::CaptureStdout();
    }
    std::string text()
    {
        fflush(stdout);
        return ::testing::internal::GetCapturedStdout();
    }
};
