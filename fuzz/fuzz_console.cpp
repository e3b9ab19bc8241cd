// Arbitrary bytes as keys at the console. The first byte picks (odd/even):
// - the line editor, line after line, the next byte picking the buffer size 1 to
//   160 (the dialogues use 8 to 128): escape sequences, editing keys, overlong lines;
// - the operator's answers to the TFTP rescue questions and then to the MAC
//   address question. Both ask until they get a usable answer, so the keys are
//   followed by ones that end them. Nothing is run (support.h): the command lines
//   built are checked instead: the file name stays one single-quoted shell word,
//   the MAC address is hexadecimal digits and colons.
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "fuzz/support.h"
#include "rescue/console.h"
#include "rescue/network.h"

namespace {

void line_editor(const uint8_t *data, size_t size)
{
    if (size < 1)
        return;
    const size_t room = 1 + data[0] % 160;
    fuzz_console_input(data + 1, size - 1);
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

void answer(const uint8_t *data, size_t size, const char *last)
{
    std::vector<uint8_t> keys(data, data + size);
    keys.insert(keys.end(), last, last + strlen(last));
    fuzz_console_input(keys.data(), keys.size());
    fuzzCommands.clear();
}

void dialogues(const uint8_t *data, size_t size)
{
    static const std::regex tftp("tftp -g -r ((?:'[^']*'|\\\\')+) -l /tmp/image [0-9.\n]*"),
        piece("'([^']*)'|\\\\(')"), mac("ifconfig eth0 hw ether [0-9a-fA-F:\n]*");
    std::smatch m;
    // ESC [ x closes any escape sequence left open, Enter any line.
    answer(data, size, "\x1b[x\rq\r");
    tftp_rescue();
    for (const std::string &c : fuzzCommands)
        if (c.starts_with("tftp -g -r ") &&
            (!std::regex_match(c, m, tftp) || std::regex_replace(m[1].str(), piece, "$1$2").size() < 2))
            __builtin_trap();
    answer(data, size, "\x1b[x\r0:0:0:0:0:0\r");
    set_mac_address();
    if (fuzzCommands.size() != 1 || !std::regex_match(fuzzCommands[0], mac))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 16385)
        return 0;
    fuzz_board_root(); // its clock: a console at end of input answers at once
    (data[0] & 1 ? line_editor : dialogues)(data + 1, size - 1);
    return 0;
}
