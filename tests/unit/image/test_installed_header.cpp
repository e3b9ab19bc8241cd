#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "image/image_format.h"
#include "loader/board_fixture.h"

namespace {

namespace CT = ComponentType;
using Header = std::array<uint8_t, IMAGE_HEADER_SIZE>;

Header pattern(int seed)
{
    Header h;
    for (size_t i = 0; i < h.size(); i++)
        h[i] = static_cast<uint8_t>(seed * 16 + i + 1);
    return h;
}

std::string str(const Header &h, size_t n = IMAGE_HEADER_SIZE)
{
    return std::string(h.begin(), h.begin() + n);
}

class InstalledHeader : public BoardTest {};

TEST_F(InstalledHeader, FromPartitions)
{
    // Each partition holds a distinct header at 0 and at 240.
    const char *names[] = {"uboot", "devicetree", "kernel", "rfs", "rescue"};
    for (int i = 0; i < 5; i++) {
        std::string part(4096, '\xFF');
        part.replace(0, 16, str(pattern(i)));
        part.replace(UBOOT_HEADER_OFFSET, 16, str(pattern(i + 8)));
        ASSERT_TRUE(sim_board_write_file(std::string("/dev/mtd-") + names[i], part));
    }
    flash_open_partitions();
    close(flashFd[RESCUE]);
    flashFd[RESCUE] = -1; // unreadable: an all-zero header, still answered 1
    const struct {
        uint32_t type;
        int result;
        Header expected;
    } cases[] = {
        {CT::UBOOT, 1, pattern(8)}, // the copy at 240, not the boot code at 0
        {CT::DFT, 1, pattern(1)},           {CT::KERNEL, 1, pattern(2)},
        {CT::RFS, 1, pattern(3)},           {CT::DIAGNOSTICS, 1, Header{}},
        {CT::NOS_APPLICATION, 0, Header{}}, {CT::UBOOT | EXTENDED_HEADER_FLAG, 0, Header{}},
    };
    for (const auto &c : cases) {
        Header out;
        out.fill(0x5A);
        Console console;
        EXPECT_EQ(read_installed_header(c.type, out.data(), 1), c.result) << std::hex << c.type;
        console.text();
        EXPECT_EQ(out, c.expected) << std::hex << c.type;
    }
    EXPECT_EQ(read_installed_header(CT::KERNEL, nullptr, 1), 0);
}

// The slot files are under /user: read them from a child whose root is the board's.
TEST_F(InstalledHeader, FromSlotFiles)
{
    ASSERT_TRUE(sim_board_write_file("/user/images/image1", str(pattern(5)) + "payload"));
    ASSERT_TRUE(sim_board_write_file("/user/images/image2", str(pattern(5), 5)));
    Header short_header{};
    std::copy_n(pattern(5).begin(), 5, short_header.begin());
    const struct {
        int slot, result;
        Header expected;
    } cases[] = {{1, 1, pattern(5)}, {2, 1, short_header}, {3, 0, Header{}}};
    for (const auto &c : cases) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            if (chroot(root_.c_str()) != 0 && (unshare(CLONE_NEWUSER) != 0 || chroot(root_.c_str()) != 0))
                _exit(2);
            uint8_t reply[1 + IMAGE_HEADER_SIZE];
            memset(reply, 0x5A, sizeof reply);
            reply[0] = static_cast<uint8_t>(read_installed_header(CT::APPLICATION, reply + 1, c.slot));
            _exit(write(fds[1], reply, sizeof reply) == sizeof reply ? 0 : 3);
        }
        close(fds[1]);
        uint8_t reply[1 + IMAGE_HEADER_SIZE];
        const ssize_t n = read(fds[0], reply, sizeof reply);
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
            GTEST_SKIP() << "cannot change root here";
        ASSERT_EQ(n, ssize_t(sizeof reply));
        EXPECT_EQ(reply[0], c.result) << c.slot;
        EXPECT_EQ(std::string(reply + 1, reply + sizeof reply), str(c.expected)) << c.slot;
    }
}

} // namespace
