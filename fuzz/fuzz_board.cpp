// Arbitrary bytes for the loader's work on the throw-away board. The first byte picks (mod 5)
// what the rest is, whose own first byte is a mode:
// 0 the boot loader's environment on its flash partition, which (odd mode) ends right after it
//   or goes on erased: the options read must be those of the same text handed over directly.
// 1 a package installed from /tmp/image as the TFTP rescue does; mode bit 0 picks slot 1 or 2
//   (0 would ask and boot on the spot), bit 1 skips same versions. A slot only ever holds a
//   whole component whose CRC holds.
// 2 a key file on /user; mode bits: 0 stored as is, else encrypted under the unit key; 1 the
//   development key; 2 no file; 3 the EEPROM serial cleared. A load that succeeds hands over
//   the built-in key and leaves a file that decrypts to it; the text also meets the key reader.
// 3 keys for the line editor, line after line, in a buffer of 1 + mode % 160.
// 4 the operator's answers to the TFTP rescue questions, then to the MAC question, followed by
//   keys that end them. The commands built (none is run) must keep the file name one quoted
//   shell word, the MAC address hex digits and colons.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "boot/boot_options.h"
#include "fuzz/support.h"
#include "hw/flash.h"
#include "hw/i2c.h"
#include "image/crc32.h"
#include "image/image_format.h"
#include "image/installer.h"
#include "platform/sim/sim_board.h"
#include "rescue/console.h"
#include "rescue/network.h"
#include "security/builtin_keys.h"
#include "security/crypto/crypto.h"
#include "security/crypto/rsa.h"
#include "security/keystore.h"

namespace {

std::string_view text_of(const uint8_t *data, size_t size)
{
    return {reinterpret_cast<const char *>(data), size};
}

void erase(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 ||
        pwrite(fd, std::string(st.st_size, '\xff').data(), st.st_size, 0) != st.st_size)
        __builtin_trap();
}

// The keys (a pipe holds 64 KiB), then end of input, become standard input.
void console_keys(const uint8_t *data, size_t size, const char *last = "")
{
    const std::string keys = std::string(text_of(data, size)) + last;
    int p[2];
    if (pipe(p) != 0 || write(p[1], keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
        __builtin_trap();
    close(p[1]);
    dup2(p[0], STDIN_FILENO);
    close(p[0]);
    clearerr(stdin);
    fuzzCommands.clear();
}

void boot_options(const uint8_t *data, size_t size)
{
    if (size < 1 || size - 1 > BOOT_ENV_SIZE)
        return;
    const bool shortPartition = data[0] & 1;
    const int fd = flashFd[UBOOTENV];
    struct stat st;
    if (fstat(fd, &st) != 0)
        __builtin_trap();
    erase(fd);
    const uint8_t crc[BOOT_ENV_OFFSET] = {0x12, 0x34, 0x56, 0x78};
    if (pwrite(fd, crc, sizeof crc, 0) != sizeof crc ||
        pwrite(fd, data + 1, size - 1, BOOT_ENV_OFFSET) != static_cast<ssize_t>(size - 1) ||
        (shortPartition && ftruncate(fd, static_cast<off_t>(BOOT_ENV_OFFSET + size - 1)) != 0))
        __builtin_trap();
    bootOptions = {-1, -1, -1, 0xAA, 0xAA, -1, -1, -1}; // values no parse can leave
    parse_boot_options();
    const BootOptions got = bootOptions;

    std::string text(BOOT_ENV_SIZE, shortPartition ? ' ' : '\xff');
    memcpy(text.data(), data + 1, size - 1);
    std::replace(text.begin(), text.begin() + static_cast<ptrdiff_t>(size - 1), '\0', ' ');
    const BootOptions want = boot_options_from_text(text.c_str());
    const auto fields = [](const BootOptions &o) {
        return std::tuple(o.gdbEnabled, o.gdbServerEnabled, o.gdbPort, o.shellEnabled, o.memCheckEnabled,
                          o.rescueAtStart, o.lowSecAuthorised, o.diagsAtStart);
    };
    if (fields(got) != fields(want) || (got.rescueAtStart && got.diagsAtStart) ||
        (got.gdbServerEnabled && !got.gdbEnabled) || (shortPartition && ftruncate(fd, st.st_size) != 0))
        __builtin_trap();
}

void install(const uint8_t *data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return;
    for (int fd : flashFd)
        erase(fd);
    for (const char *file : {"/user/images/image1", "/user/images/image2", "/user/images/uboot-hdr",
                             "/tmp/nos-image.gz", "/tmp/kalpaimage.tar.gz"})
        unlink(file);
    if (!sim_board_write_file("/tmp/image", text_of(data + 1, size - 1)))
        __builtin_trap();
    const int slot = 1 + (data[0] & 1);
    fuzzCommands.clear();
    install_package("/tmp/image", (data[0] >> 1) & 1, slot);
    std::string image;
    if (sim_board_read_file(slot == 1 ? "/user/images/image1" : "/user/images/image2", image)) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(image.data());
        if (image.size() < IMAGE_HEADER_SIZE ||
            image_crc32(bytes + CRC_OFFSET, static_cast<uint32_t>(image.size() - CRC_OFFSET), CRC_SEED) !=
                load_be32(bytes))
            __builtin_trap();
    }
    if (!fuzzCommands.empty())
        __builtin_trap();
}

// The stored file decrypted under serial, or "" when there is none or it does not decrypt.
std::string stored_text(const char *path, const uint8_t *serial)
{
    std::string stored;
    uint32_t length = 0;
    const auto text =
        sim_board_read_file(path, stored)
            ? imgsign_decrypt(serial, SERIAL_LENGTH, reinterpret_cast<const uint8_t *>(stored.data()),
                              static_cast<uint32_t>(stored.size()), &length)
            : nullptr;
    return text ? std::string(reinterpret_cast<const char *>(text.get()), length) : "";
}

void key_file(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 2 * KEY_FILE_MAX)
        return;
    const uint8_t mode = data[0];
    const char *path = mode & 2 ? DEVELOPMENT_KEY_PATH : PRODUCTION_KEY_PATH;
    const std::string builtin = mode & 2 ? BUILTIN_DEVELOPMENT_KEY : BUILTIN_PRODUCTION_KEY;
    std::string cells(8192, '\xff');
    if (mode & 8)
        cells.replace(EEPROM_SERIAL, SERIAL_LENGTH, SERIAL_LENGTH, '\0');
    uint8_t serial[SERIAL_LENGTH];
    if (!sim_board_write_file("/board/eeprom.bin", cells))
        __builtin_trap();
    eeprom_read_serial(serial);
    if (memcmp(serial, cells.data() + EEPROM_SERIAL, SERIAL_LENGTH) != 0)
        __builtin_trap();
    unlink(path);
    if (!(mode & 4) && !((mode & 1) ? sim_board_write_file(path, text_of(data + 1, size - 1))
                                    : imgsign_write_key_file(data + 1, static_cast<uint32_t>(size - 1), path,
                                                             serial, SERIAL_LENGTH)))
        __builtin_trap();
    const std::string text = stored_text(path, serial);
    if (AsymKeyPtr parsed(asym_key_create()); parsed)
        CA_MGMT_convertPublicKey(reinterpret_cast<const uint8_t *>(text.data()),
                                 static_cast<uint32_t>(text.size()), parsed.get());
    KeyRecord key;
    const bool tooLong =
        !(mode & 4) && !(mode & 8) && (mode & 1 ? size - 1 : (size - 1 + 15) / 16 * 16) > KEY_FILE_MAX;
    const int loaded = load_system_key(&key, path);
    if (loaded != (tooLong ? 0 : 1) ||
        (loaded && (std::string(reinterpret_cast<const char *>(key.text), key.length) != builtin ||
                    (!(mode & 8) && stored_text(path, serial) != builtin))))
        __builtin_trap();
}

void line_editor(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 16384)
        return;
    const size_t room = 1 + data[0] % 160;
    console_keys(data + 1, size - 1);
    std::vector<char> line(room);
    for (int left = 1; left > 0;) {
        console_read_line(line.data(), room);
        // Terminated within the buffer, and only printable keys get in.
        const size_t length = strnlen(line.data(), room);
        if (length == room)
            __builtin_trap();
        for (size_t i = 0; i < length; ++i)
            if (static_cast<unsigned char>(line[i]) < 0x20 || line[i] == 0x7F)
                __builtin_trap();
        if (ioctl(STDIN_FILENO, FIONREAD, &left) != 0)
            left = 0;
    }
}

void dialogues(const uint8_t *data, size_t size)
{
    static const std::regex tftp("tftp -g -r ((?:'[^']*'|\\\\')+) -l /tmp/image [0-9.\n]*"),
        piece("'([^']*)'|\\\\(')"), mac("ifconfig eth0 hw ether [0-9a-fA-F:\n]*");
    if (size > 8192)
        return;
    // ESC [ x closes any escape sequence left open, Enter any line.
    console_keys(data, size, "\x1b[x\rq\r");
    tftp_rescue();
    std::smatch m;
    for (const std::string &c : fuzzCommands)
        if (c.starts_with("tftp -g -r ") &&
            (!std::regex_match(c, m, tftp) || std::regex_replace(m[1].str(), piece, "$1$2").size() < 2))
            __builtin_trap();
    console_keys(data, size, "\x1b[x\r0:0:0:0:0:0\r");
    set_mac_address();
    if (fuzzCommands.size() != 1 || !std::regex_match(fuzzCommands[0], mac))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static void (*const uses[])(const uint8_t *, size_t) = {boot_options, install, key_file, line_editor,
                                                            dialogues};
    if (size < 1)
        return 0;
    fuzz_board_root(); // its clock too: a console at end of input answers at once
    uses[data[0] % 5](data + 1, size - 1);
    return 0;
}
