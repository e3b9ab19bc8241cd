// A simulated board in a temporary directory, for tests of the loader's hw code.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>

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
        for (int &fd : flashFd)
            close(std::exchange(fd, -1)); // -1 when never opened: close refuses it harmlessly
        sim_board_set_root("");
        std::filesystem::remove_all(root_);
    }
    static void config(const std::string &line) { ASSERT_TRUE(sim_board_config_line(line)); }
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
    Console() { fflush(stdout), ::testing::internal::CaptureStdout(); }
    std::string text() { return fflush(stdout), ::testing::internal::GetCapturedStdout(); }
};

struct ChildRun {
    int result; // fn's answer (0..124), 125 when the child could not enter the board
    std::string out;
};

// The loader's /user and /tmp paths must reach the board's files, never the host's: fn runs in a child
// after enter() has made the board its root, with input as its stdin. Answers what fn returned and printed.
inline ChildRun run_in_board(const std::function<bool()> &enter, const std::function<int()> &fn,
                             const std::string &input = "")
{
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0)
        return {-1, "pipe"};
    fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        for (int fd : {in[0], in[1], out[0], out[1]})
            close(fd);
        const int result = enter() ? fn() : 125;
        fflush(stdout);
        _exit(result);
    }
    for (int fd : {in[0], out[1]})
        close(fd);
    const bool fed = write(in[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
    close(in[1]);
    ChildRun run{-1, {}};
    char buf[4096];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        run.out.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    run.result = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    EXPECT_TRUE(fed);
    return run;
}
