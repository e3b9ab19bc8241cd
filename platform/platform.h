// The loader's only seam to device files and to time. hw/ reaches the MTD and
// I2C devices through these calls, and every wait goes through the clock here,
// so a simulated board can stand in for the switch and run faster than life.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstdint>

// Backend start-up. Answers 0 when the loader may run; the sim backend refuses
// (non-zero) outside its sandbox root.
int plat_start();

int plat_open(const char *path, int flags);
int plat_close(int fd);
ssize_t plat_read(int fd, void *buf, size_t len);
ssize_t plat_write(int fd, const void *buf, size_t len);
ssize_t plat_pread(int fd, void *buf, size_t len, off_t off);
ssize_t plat_pwrite(int fd, const void *buf, size_t len, off_t off);
// Requests that take a pointer (MEMGETINFO, MEMERASE) and those that take a
// plain value (I2C_SLAVE).
int plat_ioctl(int fd, unsigned long request, void *arg);
int plat_ioctl(int fd, unsigned long request, unsigned long arg);

void plat_sleep_us(uint64_t usec);
int plat_poll(struct pollfd *fds, nfds_t nfds, int timeout_ms);
// Terminal read time-out (VTIME, in tenths of a second) to program into termios
// for a wait of this length.
unsigned char plat_vtime(unsigned tenths);

// Memory for one whole component, to be filled by reads. Where the system
// allows it, a private mapping faulted in at once (in huge pages where
// offered), so that reading into it does not take a fault per page; plain heap
// memory otherwise. nullptr when there is no memory; release with
// plat_free_buffer and the same size.
void *plat_alloc_buffer(size_t size);
void plat_free_buffer(void *buffer, size_t size);
