// What the fuzz targets share: a throw-away simulated board, the loader's fixed
// paths sent into it, no outside program ever run, and console keys from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The board root, made (and populated, partitions open) on first use and removed
// at exit. Every loader path under /user, /dev, /mnt, /board and the loader's
// own /tmp files resolves inside it.
const std::string &fuzz_board_root();
// path (absolute, as the loader names it) inside the board root.
std::string fuzz_board_file(const char *path);
bool fuzz_write_file(const std::string &file, const uint8_t *data, size_t size);
// Empties a partition back to erased flash.
void fuzz_erase_partition(int fd);

// Command lines the loader asked the shell to run since the last clear; none is run.
extern std::vector<std::string> fuzzCommands;

// The bytes become standard input, followed by end of input. size is capped by
// the caller (a pipe holds 64 KiB).
void fuzz_console_input(const uint8_t *data, size_t size);
