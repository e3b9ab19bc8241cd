// Board root, configuration and the start-up check of the simulated board.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/sim/board.h"
#include "platform/sim/chips/chips.h"
#include "platform/sim/sim_board.h"

namespace {

std::string g_root;
SimConfig g_config;
bool g_loaded = false;

uint64_t g_cutCounts[kSimCutKinds];

const char *const kChipNames[kSimChipCount] = {"switch", "eeprom", "rtc", "cpld"};
const char *const kCutNames[kSimCutKinds] = {"erase", "write", "eeprom"};
const char *const kPartitions[] = {"uboot", "ubootenv", "devicetree", "kernel", "rfs", "rescue", "onie"};

bool parse_u64(std::string_view s, uint64_t &out)
{
    if (s.empty() || s.size() > 20 || s[0] < '0' || s[0] > '9')
        return false;
    std::string t(s);
    char *end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(t.c_str(), &end, 0);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

bool parse_u32(std::string_view s, uint32_t &out)
{
    uint64_t v;
    if (!parse_u64(s, v) || v == 0 || v > UINT32_MAX)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

int chip_index(std::string_view name)
{
    for (int i = 0; i < kSimChipCount; i++)
        if (name == kChipNames[i])
            return i;
    return -1;
}

std::vector<std::string_view> split_words(std::string_view line)
{
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            i++;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

void parse_line(const std::vector<std::string_view> &w, SimConfig &cfg)
{
    const std::string_view key = w[0];
    uint64_t n = 0;
    uint32_t size = 0;
    if (key == "time_scale" && w.size() == 2) {
        std::string t(w[1]);
        char *end = nullptr;
        double v = strtod(t.c_str(), &end);
        if (*end == '\0' && std::isfinite(v) && v >= 0)
            cfg.timeScale = v;
    } else if (key == "erasesize" && w.size() == 2) {
        if (parse_u32(w[1], size))
            cfg.eraseSize = size;
    } else if (key == "erasesize" && w.size() == 3) {
        if (parse_u32(w[2], size))
            cfg.partitionEraseSize.emplace_back(std::string(w[1]), size);
    } else if (key == "fail" && w.size() == 4) {
        SimMtdOp op;
        if (w[2] == "erase")
            op = SimMtdOp::Erase;
        else if (w[2] == "read")
            op = SimMtdOp::Read;
        else if (w[2] == "write")
            op = SimMtdOp::Write;
        else
            return;
        if (parse_u64(w[3], n) && n > 0)
            cfg.fails.push_back({std::string(w[1]), op, n});
    } else if (key == "powercut" && w.size() == 3) {
        for (int k = 0; k < kSimCutKinds; k++)
            if (w[1] == kCutNames[k] && parse_u64(w[2], n) && n > 0)
                cfg.powerCut[k] = n;
    } else if (key == "absent" && w.size() == 2) {
        int c = chip_index(w[1]);
        if (c >= 0)
            cfg.chips[c].absent = true;
    } else if (key == "nack" && w.size() == 3) {
        int c = chip_index(w[1]);
        if (c >= 0 && parse_u64(w[2], n) && n > 0)
            cfg.chips[c].nackFrom = n;
    } else if (key == "short_read" && w.size() == 3) {
        int c = chip_index(w[1]);
        // The switch's single control byte has nothing to cut short.
        if (c > 0 && parse_u64(w[2], n) && n > 0)
            cfg.chips[c].shortRead = n;
    }
}

bool make_parents(const std::string &file)
{
    for (size_t pos = file.find('/', 1); pos != std::string::npos; pos = file.find('/', pos + 1)) {
        std::string dir = file.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

} // namespace

SimUniqueFd::~SimUniqueFd()
{
    if (fd >= 0)
        close(fd);
}

bool sim_load(const std::string &file, std::string &contents)
{
    contents.clear();
    SimUniqueFd f(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (f.fd < 0)
        return false;
    char buf[4096];
    for (;;) {
        ssize_t n = read(f.fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        contents.append(buf, static_cast<size_t>(n));
    }
}

namespace {

bool overwrite(const std::string &file, std::string_view contents)
{
    SimUniqueFd f(open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (f.fd < 0)
        return false;
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(f.fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool sim_store(const std::string &file, std::string_view contents)
{
    const size_t slash = file.rfind('/') + 1; // npos + 1: no directory part
    const std::string temp = file.substr(0, slash) + "." + file.substr(slash) + ".tmp";
    if (overwrite(temp, contents) && rename(temp.c_str(), file.c_str()) == 0)
        return true;
    const int err = errno;
    unlink(temp.c_str());
    errno = err;
    return false;
}

bool sim_power_cut_due(SimCut what)
{
    const int k = static_cast<int>(what);
    const uint64_t at = sim_config().powerCut[k];
    return ++g_cutCounts[k] == at;
}

void sim_power_cut(SimCut what, const char *detail)
{
    const int k = static_cast<int>(what);
    char line[160];
    const int n = snprintf(line, sizeof line, "[board] power cut at %s %llu (%s)\n", kCutNames[k],
                           static_cast<unsigned long long>(g_cutCounts[k]), detail);
    // A console that is gone changes nothing: the power goes all the same.
    [[maybe_unused]] const ssize_t shown =
        write(STDERR_FILENO, line, std::min(static_cast<size_t>(std::max(n, 0)), sizeof line - 1));
    for (;;)
        kill(getpid(), SIGKILL);
}

SimConfig sim_parse_config(std::string_view text)
{
    SimConfig cfg;
    while (!text.empty()) {
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text = eol == std::string_view::npos ? std::string_view() : text.substr(eol + 1);
        line = line.substr(0, line.find('#'));
        std::vector<std::string_view> words = split_words(line);
        if (!words.empty())
            parse_line(words, cfg);
    }
    return cfg;
}

std::string sim_file(std::string_view path) { return g_root + std::string(path); }

const SimConfig &sim_config()
{
    if (!g_loaded)
        sim_board_reload();
    return g_config;
}

uint32_t sim_erase_size(std::string_view partition)
{
    const SimConfig &cfg = sim_config();
    uint32_t size = cfg.eraseSize;
    // Later lines win, as when the file is read top to bottom.
    for (const auto &[name, bytes] : cfg.partitionEraseSize)
        if (name == partition)
            size = bytes;
    return size;
}

void sim_board_reload()
{
    const int saved_errno = errno; // may run lazily inside a device call
    std::string text;
    sim_load(sim_file("/board/config"), text); // a missing file means defaults
    g_config = sim_parse_config(text);
    g_loaded = true;
    for (uint64_t &count : g_cutCounts)
        count = 0;
    sim_mtd_reset();
    sim_i2c_reset();
    sim_switch_reset();
    sim_eeprom_reset();
    sim_rtc_reset();
    sim_cpld_reset();
    errno = saved_errno;
}

void sim_board_set_root(const char *dir)
{
    sim_fd_close_all();
    g_root = dir ? dir : "";
    while (!g_root.empty() && g_root.back() == '/')
        g_root.pop_back();
    sim_board_reload();
}

const char *sim_board_root() { return g_root.c_str(); }

std::string sim_board_path(std::string_view path) { return sim_file(path); }

bool sim_board_write_file(std::string_view path, std::string_view contents)
{
    // In place: a test may rewrite a partition that has an open descriptor.
    std::string file = sim_file(path);
    return make_parents(file) && overwrite(file, contents);
}

bool sim_board_read_file(std::string_view path, std::string &contents)
{
    return sim_load(sim_file(path), contents);
}

bool sim_board_config_line(std::string_view line)
{
    std::string file = sim_file("/board/config");
    if (!make_parents(file))
        return false;
    SimUniqueFd f(open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (f.fd < 0)
        return false;
    std::string text = std::string(line) + "\n";
    if (write(f.fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return false;
    sim_board_reload();
    return true;
}

bool sim_board_make_partition(std::string_view name, size_t size)
{
    return sim_board_write_file("/dev/mtd-" + std::string(name), std::string(size, '\xff'));
}

bool sim_board_populate(size_t partition_size)
{
    if (!sim_board_write_file("/.imgloader-sandbox", "") || !sim_board_write_file("/dev/i2c-0", "") ||
        !sim_board_write_file("/dev/i2c-1", ""))
        return false;
    for (const char *name : kPartitions)
        if (!sim_board_make_partition(name, partition_size))
            return false;
    return make_parents(sim_file("/board/x"));
}

int plat_start()
{
    if (access(sim_file("/.imgloader-sandbox").c_str(), F_OK) != 0) {
        fprintf(stderr, "imgloader-sim: not inside a sandbox root, refusing to run\n");
        return 1;
    }
    sim_board_reload();
    return 0;
}
