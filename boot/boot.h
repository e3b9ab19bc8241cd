// Start-up sequence and boot flow.
#pragma once

#include <cstdint>

// Set by the SIGINT handler; interactive code tests it after a blocking read returns.
extern volatile uint8_t interruptRequested;
extern uint8_t usbEnabled;
extern uint8_t secondAttempt;

void install_sigint_handler();
[[noreturn]] void reboot_system();
int select_boot_image();
// The sequence from power-on to the application or a reboot.
int loader_main();
