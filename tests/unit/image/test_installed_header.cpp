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

// Slot files are under /user: the reads run with the board as root.
TEST_F(InstalledHeader, FromPartitionsAndSlotFiles)
{
    // Each partition holds a distinct header at 0 and at 240.
    const char *names[] = {"uboot", "devicetree", "kernel", "rfs", "rescue"};
    for (int i = 0; i < 5; i++) {
        std::string part(4096, '\xFF');
        part.replace(0, 16, str(pattern(i)));
        part.replace(UBOOT_HEADER_OFFSET, 16, str(pattern(i + 8)));
        ASSERT_TRUE(sim_board_write_file(std::string("/dev/mtd-") + names[i], part));
    }
    ASSERT_TRUE(sim_board_write_file("/user/images/image1", str(pattern(5)) + "payload"));
    ASSERT_TRUE(sim_board_write_file("/user/images/image2", str(pattern(5), 5)));
    Header shortHeader{};
    std::copy_n(pattern(5).begin(), 5, shortHeader.begin());
    flash_open_partitions();
    close(flashFd[RESCUE]);
    flashFd[RESCUE] = -1; // unreadable: an all-zero header, still answered 1
    const struct {
        uint32_t type;
        int slot, result;
        Header expected;
    } cases[] = {
        {CT::UBOOT, 1, 1, pattern(8)}, // the copy at 240, not the boot code at 0
        {CT::DFT, 1, 1, pattern(1)},           {CT::KERNEL, 1, 1, pattern(2)},
        {CT::RFS, 1, 1, pattern(3)},           {CT::DIAGNOSTICS, 1, 1, Header{}},
        {CT::NOS_APPLICATION, 1, 0, Header{}}, {CT::UBOOT | EXTENDED_HEADER_FLAG, 1, 0, Header{}},
        {CT::APPLICATION, 1, 1, pattern(5)},   {CT::APPLICATION, 2, 1, shortHeader},
        {CT::APPLICATION, 3, 0, Header{}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.type << " slot " << c.slot);
        const ChildRun r = run_in_board([this] { return chroot_board(root_); },
                                        [&c] {
                                            Header out;
                                            out.fill(0x5A);
                                            const int result =
                                                read_installed_header(c.type, out.data(), c.slot);
                                            fwrite(out.data(), 1, out.size(), stdout);
                                            return result;
                                        });
        if (r.result == 125)
            GTEST_SKIP() << "cannot change root here";
        EXPECT_EQ(r.result, c.result);
        // Behind whatever the flash layer printed about the closed partition.
        ASSERT_GE(r.out.size(), IMAGE_HEADER_SIZE);
        EXPECT_EQ(r.out.substr(r.out.size() - IMAGE_HEADER_SIZE), str(c.expected));
    }
    EXPECT_EQ(read_installed_header(CT::KERNEL, nullptr, 1), 0);
}

} // namespace
