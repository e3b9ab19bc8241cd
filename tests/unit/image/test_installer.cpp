#include <fstream>
#include <iterator>
#include <string>

#include "image/installer.h"
#include "image_builder.h"
#include "loader/board_fixture.h"

namespace {

std::string steps(const std::string &pcts) { return "    " + pcts + "\b\b\b\b100%\n"; }

TEST(WriteFileWithProgress, PercentagesContentsAndFailures)
{
    char dir[] = "/tmp/imgl-wfp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/out";
    const struct {
        const char *path; // nullptr: a file in the temporary directory
        uint32_t length;
        int result;
        std::string console;
    } cases[] = {
        {nullptr, 0, 1, steps("")},
        {nullptr, 1, 1, steps("\b\b\b\b100%")}, // below one 256-byte block: no division by zero
        {nullptr, 256, 1, steps("\b\b\b\b100%")},
        {nullptr, 200000, 1, steps("\b\b\b\b032%\b\b\b\b065%\b\b\b\b098%\b\b\b\b100%")}, // 64 KiB pieces
        {"/dev/full", 300, 0,
         "    File /dev/full write failed (err 28: bytes_written 0, len 300, wr_len 300)\n"},
        {"/nonexistent-dir/x", 300, 0, "Cannot create /nonexistent-dir/x: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        const Bytes data = filler(c.length, 7);
        const char *to = c.path ? c.path : path.c_str();
        Console console;
        EXPECT_EQ(write_file_with_progress(to, data.data(), c.length), c.result) << c.length;
        EXPECT_EQ(console.text(), c.console) << c.length;
        if (c.path)
            continue;
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), data) << c.length;
    }
    std::filesystem::remove_all(dir);
    Console console; // a package that cannot be opened ends before anything is made
    EXPECT_EQ(install_package("/nonexistent-dir/pkg", 1, 0), 0);
    EXPECT_EQ(console.text(), "Cannot open /nonexistent-dir/pkg: No such file or directory\n");
}

class VersionsReport : public BoardTest {};

// The boot loader's version is its copy at 240, not the boot code's header at 0.
// The slot rows read the host's /user here, so only the partitions' rows are pinned.
TEST_F(VersionsReport, PartitionRows)
{
    auto header = [](uint32_t magic, uint32_t id) {
        Bytes h = cat({be32(0xC0C0C0C0), be32(64), be32(magic), be32(id)});
        return std::string(h.begin(), h.end());
    };
    std::string uboot(4096, '\xFF');
    uboot.replace(0, 16, header(ComponentType::UBOOT, 0x09090909));
    uboot.replace(UBOOT_HEADER_OFFSET, 16, header(ComponentType::UBOOT, 0x01020304));
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-uboot", uboot));
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-rfs", header(ComponentType::RFS, 0x0A000102)));
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-kernel", header(ComponentType::KERNEL, 0xFF7F8001)));
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-devicetree", header(ComponentType::DFT, 0x00000009)));
    flash_open_partitions();
    Console console;
    show_installed_versions();
    const std::string out = console.text();
    const std::string expected = "Installed images versions: \n"
                                 "\tBoot image  : 1.2.3.4\n"
                                 "\tRFS image   : 10.0.1.2\n"
                                 "\tKernel image: 255.127.128.1\n"
                                 "\tDFT image   : 0.0.0.9\n"
                                 "\tOS image 1  : ";
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    EXPECT_NE(out.find("\n\tOS image 2  : "), std::string::npos) << out;
}

} // namespace
