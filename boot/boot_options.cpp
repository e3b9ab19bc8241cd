#include "boot/boot_options.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "hw/flash.h"

BootOptions bootOptions = {0, 0, DEFAULT_GDB_PORT, 0, 0, 0, 0, 0};

namespace {

// First occurrence only, as a plain substring: "xgdb=on" counts as "gdb=on".
const char *find_value(const char *text, const char *key)
{
    const char *at = strstr(text, key);
    return at ? at + strlen(key) : nullptr;
}

template <typename Flag> void set_flag(Flag &flag, const char *text, const char *key, const char *word)
{
    if (const char *value = find_value(text, key))
        flag = strncmp(value, word, strlen(word)) == 0 ? 1 : 0;
}

// A decimal number after optional white space and sign; out-of-range values are
// not numbers (the port keeps its default).
bool parse_int(const char *value, int32_t *out)
{
    while (isspace(static_cast<unsigned char>(*value)))
        value++;
    const char *digits = value + ((*value == '+' || *value == '-') ? 1 : 0);
    if (!isdigit(static_cast<unsigned char>(*digits)))
        return false;
    errno = 0;
    const long n = strtol(value, nullptr, 10);
    if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX)
        return false;
    *out = static_cast<int32_t>(n);
    return true;
}

} // namespace

BootOptions boot_options_from_text(const char *text)
{
    BootOptions o = {0, 0, DEFAULT_GDB_PORT, 0, 0, 0, 0, 0};
    set_flag(o.gdbEnabled, text, "gdb=", "on");
    set_flag(o.gdbServerEnabled, text, "gdbserver=", "on");
    if (o.gdbServerEnabled)
        o.gdbEnabled = 1;
    if (const char *value = find_value(text, "gdbport="))
        parse_int(value, &o.gdbPort);
    set_flag(o.shellEnabled, text, "shell=", "on");
    set_flag(o.memCheckEnabled, text, "memchk=", "on");
    set_flag(o.rescueAtStart, text, "diagnostics=", "rescue");
    set_flag(o.lowSecAuthorised, text, "lowsec=", "authorised");
    set_flag(o.diagsAtStart, text, "diagnostics=", "diags");
    return o;
}

void parse_boot_options()
{
    std::unique_ptr<char[]> text(new (std::nothrow) char[BOOT_ENV_SIZE + 1]);
    if (!text)
        return;
    // A short read leaves the tail unread; it reads as padding.
    memset(text.get(), ' ', BOOT_ENV_SIZE);
    if (flash_read_partition(reinterpret_cast<uint8_t *>(text.get()), flashFd[UBOOTENV], BOOT_ENV_OFFSET,
                             BOOT_ENV_SIZE) != 0)
        return;
    for (uint32_t i = 0; i < BOOT_ENV_SIZE; i++) {
        if (text[i] == '\0')
            text[i] = ' ';
    }
    text[BOOT_ENV_SIZE] = '\0';
    bootOptions = boot_options_from_text(text.get());
}
