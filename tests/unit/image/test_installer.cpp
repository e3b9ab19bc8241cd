#include <fstream>
#include <iterator>
#include <string>

#include "image/image_format.h"
#include "image/installer.h"
#include "image_builder.h"
#include "loader/board_fixture.h"

namespace {

std::string steps(std::initializer_list<const char *> pcts)
{
    std::string s = "    ";
    for (const char *p : pcts)
        s += std::string("\b\b\b\b") + p + "%";
    return s + "\b\b\b\b100%\n";
}

TEST(WriteFileWithProgress, PercentagesAndContents)
{
    char dir[] = "/tmp/imgl-wfp-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/out";
    const struct {
        uint32_t length;
        std::string console;
    } cases[] = {
        {0, steps({})},
        {1, steps({"100"})}, // below one 256-byte block: no division by zero
        {255, steps({"100"})},
        {256, steps({"100"})},
        {200000, steps({"032", "065", "098", "100"})}, // 64 KiB pieces, 781 whole blocks
    };
    for (const auto &c : cases) {
        const Bytes data = filler(c.length, 7);
        Console console;
        EXPECT_EQ(write_file_with_progress(path.c_str(), data.data(), c.length), 1) << c.length;
        EXPECT_EQ(console.text(), c.console) << c.length;
        std::ifstream in(path, std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), data) << c.length;
    }
    std::filesystem::remove_all(dir);
}

TEST(WriteFileWithProgress, Failures)
{
    const Bytes data = filler(300, 1);
    const struct {
        const char *path;
        std::string console;
    } cases[] = {
        {"/dev/full", "    File /dev/full write failed (err 28: bytes_written 0, len 300, wr_len 300)\n"},
        {"/nonexistent-dir/x", "Cannot create /nonexistent-dir/x: No such file or directory\n"},
    };
    for (const auto &c : cases) {
        Console console;
        EXPECT_EQ(write_file_with_progress(c.path, data.data(), 300), 0) << c.path;
        EXPECT_EQ(console.text(), c.console);
    }
    Console console; // a package that cannot be opened ends before anything is made
    EXPECT_EQ(install_package("/nonexistent-dir/pkg", 1, 0), 0);
    EXPECT_EQ(console.text(), "Cannot open /nonexistent-dir/pkg: No such file or directory\n");
}

class VersionsReport : public BoardTest {};

// The slot files are under /user: the report runs in a child whose root is the board's.
TEST_F(VersionsReport, EveryRowFromItsPlace)
{
    auto header = [](uint32_t magic, uint32_t id) {
        Bytes h = cat({be32(0xC0C0C0C0), be32(64), be32(magic), be32(id)});
        return std::string(h.begin(), h.end());
    };
    std::string uboot(4096, '\xFF');
    uboot.replace(0, 16, header(ComponentType::UBOOT, 0x09090909)); // boot code, not the version
    uboot.replace(UBOOT_HEADER_OFFSET, 16, header(ComponentType::UBOOT, 0x01020304));
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-uboot", uboot));
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-rfs", header(ComponentType::RFS, 0x0A000102)));
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-kernel", header(ComponentType::KERNEL, 0xFF7F8001)));
    ASSERT_TRUE(sim_board_write_file("/user/images/image1", header(ComponentType::APPLICATION, 0x05060708)));
    flash_open_partitions();
    close(flashFd[DEVICETREE]);
    flashFd[DEVICETREE] = -1;

    const ChildRun r = run_in_board([this] { return chroot_board(root_); },
                                    [] {
                                        show_installed_versions();
                                        return 0;
                                    });
    if (r.result == 125)
        GTEST_SKIP() << "cannot change root here";
    const std::string &out = r.out;
    // The closed devicetree descriptor also prints the flash layer's own complaint.
    const std::string dft = "\tDFT image   : 0.0.0.0\n";
    ASSERT_NE(out.find(dft), std::string::npos) << out;
    const std::string expected = "Installed images versions: \n"
                                 "\tBoot image  : 1.2.3.4\n"
                                 "\tRFS image   : 10.0.1.2\n"
                                 "\tKernel image: 255.127.128.1\n";
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    EXPECT_EQ(out.substr(out.find(dft) + dft.size()), "\tOS image 1  : 5.6.7.8\n"
                                                      "\tOS image 2  : 0.0.0.0\n");
}

} // namespace
