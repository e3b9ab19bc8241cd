// The sim backend of the platform seam: a descriptor table that sends the
// board's device files to the emulated MTD and I2C drivers, and a clock that
// runs time_scale times as fast as the host's.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"
#include "platform/sim/board.h"
#include "platform/sim/sim_board.h"

namespace {

enum class DevKind { Mtd, I2c };

struct SimDev {
    int fd;
    DevKind kind;
    std::string partition;
    SimI2cClient client;
};

std::vector<SimDev> g_devs;

SimDev *find_dev(int fd)
{
    for (SimDev &d : g_devs)
        if (d.fd == fd)
            return &d;
    return nullptr;
}

bool is_partition_name(std::string_view name)
{
    return !name.empty() && name.find('/') == std::string_view::npos;
}

bool parse_bus(std::string_view s, int &bus)
{
    if (s.empty() || s.size() > 3)
        return false;
    bus = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        bus = bus * 10 + (c - '0');
    }
    return true;
}

// Rounds up, but forgives the last bits of binary fractions (30 x 0.1 is 3).
double scaled_up(double value) { return std::ceil(value * sim_config().timeScale * (1.0 - 1e-12)); }

int dev_ioctl(int fd, unsigned long request, unsigned long arg)
{
    SimDev *d = find_dev(fd);
    if (!d)
        return ioctl(fd, request, arg);
    if (d->kind == DevKind::Mtd)
        return sim_mtd_ioctl(fd, d->partition, request, arg);
    return sim_i2c_ioctl(d->client, request, arg);
}

} // namespace

void sim_fd_close_all()
{
    for (const SimDev &d : g_devs)
        close(d.fd);
    g_devs.clear();
}

int plat_open(const char *path, int flags)
{
    const std::string_view p(path);
    DevKind kind;
    SimDev dev{-1, DevKind::Mtd, {}, {0, 0}};
    if (p.starts_with("/dev/mtd-") && is_partition_name(p.substr(9))) {
        kind = DevKind::Mtd;
        dev.partition = std::string(p.substr(9));
    } else if (p.starts_with("/dev/i2c-") && parse_bus(p.substr(9), dev.client.bus)) {
        kind = DevKind::I2c;
    } else {
        return open(path, flags, 0666);
    }
    dev.kind = kind;
    dev.fd = open(sim_file(p).c_str(), flags);
    if (dev.fd < 0)
        return -1;
    g_devs.push_back(std::move(dev));
    return g_devs.back().fd;
}

int plat_close(int fd)
{
    for (auto it = g_devs.begin(); it != g_devs.end(); ++it) {
        if (it->fd == fd) {
            g_devs.erase(it);
            break;
        }
    }
    return close(fd);
}

namespace {

// read/write on a flash partition: a positioned transfer at the file offset,
// which then moves on by what was transferred.
template <typename Buf, typename Io> ssize_t at_file_offset(int fd, Buf buf, size_t len, Io io)
{
    const off_t pos = lseek(fd, 0, SEEK_CUR);
    if (pos < 0)
        return -1;
    const ssize_t n = io(buf, len, pos);
    if (n > 0)
        lseek(fd, pos + n, SEEK_SET);
    return n;
}

} // namespace

ssize_t plat_read(int fd, void *buf, size_t len)
{
    SimDev *d = find_dev(fd);
    if (!d)
        return read(fd, buf, len);
    if (d->kind == DevKind::I2c)
        return sim_i2c_read(d->client, buf, len);
    return at_file_offset(fd, buf, len, [&](void *b, size_t l, off_t pos) {
        return sim_mtd_pread(fd, d->partition, b, l, pos);
    });
}

ssize_t plat_write(int fd, const void *buf, size_t len)
{
    SimDev *d = find_dev(fd);
    if (!d)
        return write(fd, buf, len);
    if (d->kind == DevKind::I2c)
        return sim_i2c_write(d->client, buf, len);
    return at_file_offset(fd, buf, len, [&](const void *b, size_t l, off_t pos) {
        return sim_mtd_pwrite(fd, d->partition, b, l, pos);
    });
}

ssize_t plat_pread(int fd, void *buf, size_t len, off_t off)
{
    SimDev *d = find_dev(fd);
    if (!d)
        return pread(fd, buf, len, off);
    if (d->kind == DevKind::I2c) {
        errno = ESPIPE; // i2c-dev cannot seek
        return -1;
    }
    return sim_mtd_pread(fd, d->partition, buf, len, off);
}

ssize_t plat_pwrite(int fd, const void *buf, size_t len, off_t off)
{
    SimDev *d = find_dev(fd);
    if (!d)
        return pwrite(fd, buf, len, off);
    if (d->kind == DevKind::I2c) {
        errno = ESPIPE;
        return -1;
    }
    return sim_mtd_pwrite(fd, d->partition, buf, len, off);
}

int plat_ioctl(int fd, unsigned long request, void *arg)
{
    return dev_ioctl(fd, request, reinterpret_cast<unsigned long>(arg));
}

int plat_ioctl(int fd, unsigned long request, unsigned long arg) { return dev_ioctl(fd, request, arg); }

uint64_t sim_scale_us(uint64_t usec)
{
    double v = scaled_up(static_cast<double>(usec));
    return v >= 18446744073709549568.0 ? UINT64_MAX : static_cast<uint64_t>(v);
}

int sim_scale_ms(int timeout_ms)
{
    if (timeout_ms <= 0)
        return timeout_ms;
    double v = scaled_up(timeout_ms);
    if (v < 1)
        return 1;
    return v >= INT_MAX ? INT_MAX : static_cast<int>(v);
}

void plat_sleep_us(uint64_t usec)
{
    // Bounded so the seconds fit a 32-bit time_t.
    const uint64_t us = std::min<uint64_t>(sim_scale_us(usec), uint64_t{INT32_MAX} * 1000000);
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int plat_poll(struct pollfd *fds, nfds_t nfds, int timeout_ms)
{
    return poll(fds, nfds, sim_scale_ms(timeout_ms));
}

unsigned char plat_vtime(unsigned tenths)
{
    if (tenths == 0)
        return 0;
    double v = scaled_up(tenths);
    return static_cast<unsigned char>(v < 1 ? 1 : v > 255 ? 255 : v);
}
