// Starting the application, in normal or debug modes.
#pragma once

#include <cstdint>

[[noreturn]] void launch_application(uint8_t installDiags);
int extract_gdb(int source);
