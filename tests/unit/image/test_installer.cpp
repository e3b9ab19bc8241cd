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

// A version is the id word of a header, byte by byte; what cannot be read reads
// as all zero. Which partition holds which header is pinned by the system tests'
// same-version checks.
TEST_F(VersionsReport, RowsAndHeadersThatReadAsNothing)
{
    ASSERT_TRUE(sim_board_write_file("/dev/mtd-kernel", std::string("crc_len_magi\xff\x7f\x80\x01", 16)));
    flash_open_partitions();
    close(flashFd[DEVICETREE]);
    flashFd[DEVICETREE] = -1;
    Console console;
    show_installed_versions();
    const std::string out = console.text();
    EXPECT_EQ(out.rfind("Installed images versions: \n", 0), 0u) << out;
    EXPECT_NE(out.find("\n\tKernel image: 255.127.128.1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nCould not get MTD device info \n\tDFT image   : 0.0.0.0\n"), std::string::npos)
        << out;
    Bytes header(IMAGE_HEADER_SIZE, 0x5A);
    EXPECT_EQ(read_installed_header(ComponentType::NOS_APPLICATION, header.data(), 1), 0);
    EXPECT_EQ(read_installed_header(ComponentType::APPLICATION, header.data(), 0), 0); // no such slot
    EXPECT_EQ(header, Bytes(IMAGE_HEADER_SIZE, 0));
    EXPECT_EQ(read_installed_header(ComponentType::KERNEL, nullptr, 1), 0);
}

} // namespace
