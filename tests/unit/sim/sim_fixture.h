// A fresh board root in a temporary directory for each test.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "platform/platform.h"
#include "platform/sim/sim_board.h"

class SimBoard : public ::testing::Test {
  protected:
    static constexpr size_t kPartitionSize = 16384;
    std::string root;

    void SetUp() override
    {
        char dir[] = "/tmp/sim_tests.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        sim_board_set_root(dir);
        ASSERT_TRUE(sim_board_populate(kPartitionSize));
    }

    void TearDown() override
    {
        sim_board_set_root("");
        std::filesystem::remove_all(root);
    }

    std::string board_file(const char *path)
    {
        std::string text;
        sim_board_read_file(path, text);
        return text;
    }
};
