// What the fuzz targets share: a throw-away simulated board, the loader's fixed
// paths sent into it, no outside program ever run, and console keys from memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Made (populated, partitions open) on first use, removed at exit. Every path
// under /user, /dev, /mnt, /board and the loader's own /tmp files resolves
// inside it, for the loader and the targets alike; sim_board_write_file and
// sim_board_read_file take the same paths.
const std::string &fuzz_board_root();
// Empties a partition back to erased flash.
void fuzz_erase_partition(int fd);
// Command lines the loader asked the shell to run since the last clear; none is run.
extern std::vector<std::string> fuzzCommands;
// The bytes (at most a pipe's 64 KiB) become standard input, then end of input.
void fuzz_console_input(const uint8_t *data, size_t size);
