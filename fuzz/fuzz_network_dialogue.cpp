// Arbitrary bytes as the operator's answers to the TFTP rescue questions
// (address, netmask, gateway, server, image file name) and then to the MAC
// address question. Both ask again until they get a usable answer, so each
// input is followed by one that ends them: q for the TFTP questions, a valid
// address for the MAC. Nothing is run (support.h); the command lines built
// from the answers are checked instead: the file name stays one quoted shell
// word, the MAC address is hexadecimal digits and colons.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/support.h"
#include "rescue/network.h"

namespace {

// Reads the single-quoted shell word at s[i] (quoted pieces and \' only) into
// word; answers where it ends, or npos when it is not such a word.
size_t quoted_word(const std::string &s, size_t i, std::string &word)
{
    while (i < s.size() && s[i] != ' ') {
        if (s[i] == '\'') {
            const size_t close = s.find('\'', i + 1);
            if (close == std::string::npos)
                return std::string::npos;
            word += s.substr(i + 1, close - i - 1);
            i = close + 1;
        } else if (s.compare(i, 2, "\\'") == 0) {
            word += '\'';
            i += 2;
        } else {
            return std::string::npos;
        }
    }
    return i;
}

bool only(const std::string &s, const char *allowed)
{
    return s.find_first_not_of(allowed) == std::string::npos;
}

void answer(const uint8_t *data, size_t size, const char *last)
{
    std::vector<uint8_t> keys(data, data + size);
    keys.insert(keys.end(), last, last + strlen(last));
    fuzz_console_input(keys.data(), keys.size());
    fuzzCommands.clear();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8192)
        return 0;
    fuzz_board_root();
    // ESC [ x closes any escape sequence left open, Enter any line.
    answer(data, size, "\x1b[x\rq\r");
    tftp_rescue();
    for (const std::string &c : fuzzCommands) {
        const std::string head = "tftp -g -r ", tail = " -l /tmp/image ";
        if (c.compare(0, head.size(), head) != 0)
            continue;
        std::string name;
        const size_t end = quoted_word(c, head.size(), name);
        if (end == std::string::npos || name.size() < 2 || c.compare(end, tail.size(), tail) != 0 ||
            !only(c.substr(end + tail.size()), "0123456789.\n"))
            __builtin_trap();
    }

    answer(data, size, "\x1b[x\r0:0:0:0:0:0\r");
    set_mac_address();
    const std::string head = "ifconfig eth0 hw ether ";
    if (fuzzCommands.size() != 1 || fuzzCommands[0].compare(0, head.size(), head) != 0 ||
        !only(fuzzCommands[0].substr(head.size()), "0123456789abcdefABCDEF:\n"))
        __builtin_trap();
    return 0;
}
