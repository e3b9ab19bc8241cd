// The switch: plain system calls.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

int plat_start() { return 0; }

int plat_open(const char *path, int flags) { return open(path, flags); }
int plat_close(int fd) { return close(fd); }
ssize_t plat_read(int fd, void *buf, size_t len) { return read(fd, buf, len); }
ssize_t plat_write(int fd, const void *buf, size_t len) { return write(fd, buf, len); }
ssize_t plat_pread(int fd, void *buf, size_t len, off_t off) { return pread(fd, buf, len, off); }
ssize_t plat_pwrite(int fd, const void *buf, size_t len, off_t off) { return pwrite(fd, buf, len, off); }
int plat_ioctl(int fd, unsigned long request, void *arg) { return ioctl(fd, request, arg); }
int plat_ioctl(int fd, unsigned long request, unsigned long arg) { return ioctl(fd, request, arg); }

void plat_sleep_us(uint64_t usec)
{
    timespec ts{static_cast<time_t>(usec / 1000000), static_cast<long>(usec % 1000000) * 1000};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int plat_poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) { return poll(fds, nfds, timeout_ms); }
unsigned char plat_vtime(unsigned tenths) { return static_cast<unsigned char>(tenths > 255 ? 255 : tenths); }
