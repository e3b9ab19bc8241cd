// What the fuzz targets share: a throw-away simulated board and no outside program ever run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Made (populated, partitions open) on first use, removed at exit. Paths under /user, /dev,
// /mnt, /board and the loader's own /tmp files resolve inside it, for the targets too.
const std::string &fuzz_board_root();
// Command lines the loader asked the shell to run since the last clear; none is run.
extern std::vector<std::string> fuzzCommands;
