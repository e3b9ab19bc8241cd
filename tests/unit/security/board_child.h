// Runs loader code in a forked child whose root is a simulated board, so that
// /user, /tmp and /dev/mtd-rfs are the board's files and never the host's. The
// host's /usr is bound in so that the shell commands the code runs work.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "crypto/support.h"
#include "image/image_builder.h"
#include "loader/board_fixture.h"
#include "security/builtin_keys.h"
#include "security/keystore.h"

inline bool write_proc(const char *path, const std::string &text)
{
    const int fd = open(path, O_WRONLY);
    const bool ok = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0)
        close(fd);
    return ok;
}

// Own user and mount namespaces, so neither the bind mount nor the chroot reaches the host.
inline bool enter_board(const std::string &root)
{
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    return unshare(CLONE_NEWUSER | CLONE_NEWNS) == 0 && write_proc("/proc/self/setgroups", "deny") &&
           write_proc("/proc/self/uid_map", "0 " + uid + " 1") &&
           write_proc("/proc/self/gid_map", "0 " + gid + " 1") &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           mount("/usr", (root + "/usr").c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0 &&
           chroot(root.c_str()) == 0 && chdir("/") == 0;
}

// A board with a serial number, /user and /tmp, and a shell for "rm /user/*.pem".
class SecurityBoard : public BoardTest {
  protected:
    static constexpr char SERIAL[] = "KS2207000431";

    void SetUp() override
    {
        BoardTest::SetUp();
        for (const char *dir : {"/usr", "/user", "/tmp"})
            std::filesystem::create_directories(root_ + dir);
        for (const char *link : {"bin", "lib", "lib64", "sbin"})
            std::filesystem::create_directory_symlink(std::string("usr/") + link, root_ + "/" + link);
        set_serial(SERIAL);
        // qemu-ppc is multi-threaded and cannot enter a user namespace; the host run covers these.
        if (run_in_board([this] { return enter_board(root_); }, [] { return 0; }).result != 0)
            GTEST_SKIP() << "no user and mount namespaces in this process (emulated?)";
    }

    static void set_serial(std::string_view serial)
    {
        std::string eeprom(8192, '\xff');
        eeprom.replace(EEPROM_SERIAL, EEPROM_SERIAL_LEN, serial);
        ASSERT_TRUE(sim_board_write_file("/board/eeprom.bin", eeprom));
    }

    // fn runs on the board (its buses open) with input as its standard input.
    ChildRun run(const std::function<int()> &fn, const std::string &input = "")
    {
        const ChildRun r = run_in_board(
            [this] {
                if (!enter_board(root_))
                    return false;
                sim_board_set_root("");
                i2c_open_buses();
                return true;
            },
            fn, input);
        EXPECT_NE(r.result, 125) << "cannot enter a user and mount namespace here";
        return r;
    }
};

inline std::string test_key(const char *name) { return std::string(IMGL_TEST_KEYS_DIR "/") + name; }
