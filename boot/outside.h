// Programs of the root filesystem, run through the shell and waited for.
#pragma once

// system() with the console flushed first, so the loader's pending text comes
// before anything the command prints.
int run_command(const char *command);
