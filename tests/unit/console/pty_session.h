// Runs a console operation in a child whose standard input and output are the
// slave of a fresh pseudo-terminal; the test plays the operator on the master.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "boot/boot.h"

class PtySession {
  public:
    // lflagOff: local modes cleared on the operator's terminal before the child
    // starts. Output processing is always off so the echo arrives byte for byte.
    PtySession(tcflag_t lflagOff, const std::function<std::string()> &op)
    {
        int result[2];
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0 || pipe(result) != 0)
            return;
        termios t = settings();
        t.c_oflag &= ~OPOST;
        t.c_lflag &= ~lflagOff;
        tcsetattr(slave_, TCSANOW, &t);
        fflush(stdout);
        pid_ = fork();
        if (pid_ == 0) {
            close(master_);
            close(result[0]);
            login_tty(slave_);
            signal(SIGHUP, SIG_IGN);
            install_sigint_handler();
            interruptRequested = 0;
            const std::string r = op();
            (void)!write(result[1], r.data(), r.size());
            _exit(0);
        }
        close(result[1]);
        resultFd_ = result[0];
        fcntl(master_, F_SETFL, O_NONBLOCK);
    }
    ~PtySession()
    {
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {master_, slave_, resultFd_})
            if (fd >= 0)
                close(fd);
    }

    void send(std::string_view keys)
    {
        ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size()));
    }
    // The operator's terminal settings as the child has them now.
    termios settings()
    {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    // Until the child has taken every key sent and sleeps in its next read.
    void wait_idle()
    {
        int quiet = 0;
        for (int i = 0; i < 500 && quiet < 3; ++i, tick()) {
            int pending = 0;
            ioctl(slave_, FIONREAD, &pending);
            quiet = (pending == 0 && child_state() == 'S') ? quiet + 1 : 0;
        }
        ASSERT_EQ(quiet, 3) << "child never settled";
    }
    void wait_until(const std::function<bool(const termios &)> &ready)
    {
        for (int i = 0; i < 500 && !ready(settings()); ++i)
            tick();
    }
    void hang_up() { close(std::exchange(master_, -1)); }
    // Waits for the child (killing it after 5 s) and answers what it reported.
    std::string finish()
    {
        close(std::exchange(slave_, -1));
        int status = -1;
        for (int i = 0; i < 500 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            tick();
        if (status == -1) {
            ADD_FAILURE() << "child still waiting for keys; echo so far: " << testing::PrintToString(echo);
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        drain();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
        std::string r;
        char buf[512];
        for (ssize_t n; (n = read(resultFd_, buf, sizeof buf)) > 0;)
            r.append(buf, size_t(n));
        return r;
    }

    std::string echo; // everything the child wrote on its terminal

  private:
    // Collects the echo meanwhile, so the child never blocks on a full terminal.
    void tick()
    {
        drain();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    void drain()
    {
        char buf[512];
        for (ssize_t n; master_ >= 0 && (n = read(master_, buf, sizeof buf)) > 0;)
            echo.append(buf, size_t(n));
    }
    char child_state() const
    {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const size_t paren = line.rfind(')');
        return paren != std::string::npos && paren + 2 < line.size() ? line[paren + 2] : '?';
    }

    int master_ = -1, slave_ = -1, resultFd_ = -1;
    pid_t pid_ = -1;
};
