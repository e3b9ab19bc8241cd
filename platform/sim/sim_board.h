// The simulated board as seen by tests: where its files live and a few helpers
// to lay out a board root in a temporary directory. Never part of the product.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Resolve the device files, /board/* and the sandbox marker under dir ("" is
// the chroot's /). Closes every emulated descriptor still open, forgets the call
// counters and chip pointers, and reloads /board/config.
void sim_board_set_root(const char *dir);
const char *sim_board_root();
// path (absolute, e.g. "/board/config") under the current root.
std::string sim_board_path(std::string_view path);

// Re-read /board/config and restart the fault counters and chip pointers;
// descriptors stay open.
void sim_board_reload();

// Test helpers. All paths are absolute within the board root; missing parent
// directories are created. They answer false when a file cannot be written.
bool sim_board_write_file(std::string_view path, std::string_view contents);
bool sim_board_read_file(std::string_view path, std::string &contents);
// Appends one line to /board/config and reloads it.
bool sim_board_config_line(std::string_view line);
// An erased (0xFF) partition file /dev/mtd-<name> of size bytes.
bool sim_board_make_partition(std::string_view name, size_t size);
// The sandbox marker, both adapters and the seven partitions erased, each
// partition_size bytes; no /board files, so every chip starts from its default.
bool sim_board_populate(size_t partition_size);

// The time scaling applied by plat_sleep_us and plat_poll under the current
// configuration (plat_vtime is pure already).
uint64_t sim_scale_us(uint64_t usec);
int sim_scale_ms(int timeout_ms);
