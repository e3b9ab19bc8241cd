// Board configuration and run state shared by the sim backend's pieces. The
// sim_ prefix keeps them apart from the loader's own hw/ names in one link.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class SimChip { Switch, Eeprom, Rtc, Cpld };
inline constexpr int kSimChipCount = 4;

enum class SimMtdOp { Erase, Read, Write };

// What a power cut can interrupt; each kind is counted over the whole board.
enum class SimCut { Erase, Write, Eeprom };
inline constexpr int kSimCutKinds = 3;

struct SimMtdFail {
    std::string partition;
    SimMtdOp op;
    uint64_t call; // counted from 1
};

struct SimChipFaults {
    bool absent = false;
    uint64_t nackFrom = 0;  // 1-based transfer from which it stops acknowledging; 0: never
    uint64_t shortRead = 0; // 1-based read that comes back one byte short; 0: never
};

struct SimConfig {
    double timeScale = 1.0;
    uint32_t eraseSize = 65536;
    std::vector<std::pair<std::string, uint32_t>> partitionEraseSize;
    std::vector<SimMtdFail> fails;
    SimChipFaults chips[kSimChipCount];
    uint64_t powerCut[kSimCutKinds] = {}; // 1-based operation during which the power goes; 0: never
};

const SimConfig &sim_config();
// Text of /board/config into a configuration starting from the defaults.
SimConfig sim_parse_config(std::string_view text);
uint32_t sim_erase_size(std::string_view partition);
// Absolute board path under the current root.
std::string sim_file(std::string_view path);

// Restarted on every reload.
void sim_mtd_reset();
void sim_i2c_reset();
// Forgets (and closes) every emulated descriptor.
void sim_fd_close_all();

// Owns a descriptor for the length of one operation.
struct SimUniqueFd {
    int fd;
    explicit SimUniqueFd(int f) : fd(f) {}
    ~SimUniqueFd();
    SimUniqueFd(const SimUniqueFd &) = delete;
    SimUniqueFd &operator=(const SimUniqueFd &) = delete;
};

// Counts one operation of this kind; true when the power goes during it.
bool sim_power_cut_due(SimCut what);
// Reports the cut on standard error and ends the process with SIGKILL, as
// pulling the plug would; what is on the files by then is what survives.
[[noreturn]] void sim_power_cut(SimCut what, const char *detail);

// Whole-file helpers on absolute host paths; false when the file cannot be used
// (errno tells why). sim_store replaces the file by rename, so that a killed
// process leaves the old or the new contents.
bool sim_load(const std::string &file, std::string &contents);
bool sim_store(const std::string &file, std::string_view contents);

// The emulated devices behind the descriptor table.
int sim_mtd_ioctl(int fd, const std::string &partition, unsigned long request, unsigned long arg);
ssize_t sim_mtd_pread(int fd, const std::string &partition, void *buf, size_t len, off_t off);
ssize_t sim_mtd_pwrite(int fd, const std::string &partition, const void *buf, size_t len, off_t off);

struct SimI2cClient {
    int bus;
    uint16_t addr; // 7-bit, set by I2C_SLAVE
};
int sim_i2c_ioctl(SimI2cClient &client, unsigned long request, unsigned long arg);
ssize_t sim_i2c_read(const SimI2cClient &client, void *buf, size_t len);
ssize_t sim_i2c_write(const SimI2cClient &client, const void *buf, size_t len);
