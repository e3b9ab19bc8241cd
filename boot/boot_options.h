// Debug and service modes chosen in the boot loader's environment.
#pragma once

#include <cstdint>

struct BootOptions {
    int32_t gdbEnabled;
    int32_t gdbServerEnabled;
    int32_t gdbPort;
    uint8_t shellEnabled;
    uint8_t memCheckEnabled;
    int32_t rescueAtStart;
    int32_t lowSecAuthorised;
    int32_t diagsAtStart;
};

constexpr int32_t DEFAULT_GDB_PORT = 1234;
constexpr uint32_t BOOT_ENV_OFFSET = 4; // skips the environment's CRC word
constexpr uint32_t BOOT_ENV_SIZE = 0x20000;

// Filled once at start-up, read-only afterwards.
extern BootOptions bootOptions;

void parse_boot_options();
// The options found in an option text (the environment with NULs turned into spaces).
BootOptions boot_options_from_text(const char *text);
