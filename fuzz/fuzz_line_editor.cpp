// Arbitrary bytes as keys at the console (escape sequences, editing keys,
// lines longer than the buffer), read line after line by the line editor. The
// first byte picks the buffer size, 1 to 160 (the dialogues use 8 to 128).
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "fuzz/support.h"
#include "rescue/console.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 16384)
        return 0;
    fuzz_board_root(); // its clock: a console at end of input answers at once
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
    return 0;
}
