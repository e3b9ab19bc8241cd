// MTD character devices emulated on regular files: NOR flash whose writes can
// only clear bits and whose erase works on whole blocks, as the kernel's mtdchar
// driver presents it, plus the configured failures.
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "platform/sim/board.h"

namespace {

std::map<std::string, std::array<uint64_t, 3>, std::less<>> g_calls;

// Counts this call and answers whether the configuration fails it.
bool injected_failure(const std::string &partition, SimMtdOp op)
{
    uint64_t call = ++g_calls[partition][static_cast<int>(op)];
    for (const SimMtdFail &f : sim_config().fails)
        if (f.op == op && f.call == call && f.partition == partition)
            return true;
    return false;
}

bool device_size(int fd, uint64_t &size)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Whole transfers over pread/pwrite; a 0-byte answer counts as an I/O error.
template <typename Buf, typename Io> bool transfer_full(int fd, Buf *buf, size_t len, uint64_t off, Io io)
{
    while (len > 0) {
        ssize_t n = io(fd, buf, len, static_cast<off_t>(off));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        buf += n;
        len -= static_cast<size_t>(n);
        off += static_cast<uint64_t>(n);
    }
    return true;
}

bool pread_full(int fd, uint8_t *buf, size_t len, uint64_t off)
{
    return transfer_full(fd, buf, len, off, pread);
}

bool pwrite_full(int fd, const uint8_t *buf, size_t len, uint64_t off)
{
    return transfer_full(fd, buf, len, off, pwrite);
}

int fail(int err)
{
    errno = err;
    return -1;
}

// What a read and a write check first; answers the partition's size.
bool transfer_allowed(int fd, const std::string &partition, SimMtdOp op, off_t off, uint64_t &size)
{
    if (injected_failure(partition, op)) {
        errno = EIO;
        return false;
    }
    if (off < 0) {
        errno = EINVAL;
        return false;
    }
    return device_size(fd, size);
}

int get_info(int fd, const std::string &partition, mtd_info_user *info)
{
    uint64_t size;
    if (!device_size(fd, size))
        return -1;
    std::memset(info, 0, sizeof *info);
    info->type = MTD_NORFLASH;
    info->flags = MTD_CAP_NORFLASH;
    info->size = static_cast<uint32_t>(size);
    info->erasesize = sim_erase_size(partition);
    info->writesize = 1;
    return 0;
}

[[noreturn]] void cut(SimCut what, const std::string &partition, uint64_t off)
{
    char detail[96];
    snprintf(detail, sizeof detail, "%s 0x%llx", partition.c_str(), static_cast<unsigned long long>(off));
    sim_power_cut(what, detail);
}

int erase(int fd, const std::string &partition, const erase_info_user *req)
{
    if (injected_failure(partition, SimMtdOp::Erase))
        return fail(EIO);
    uint64_t size;
    if (!device_size(fd, size))
        return -1;
    const uint64_t start = req->start, len = req->length, block = sim_erase_size(partition);
    if (start >= size || len > size - start || start % block != 0 || len % block != 0)
        return fail(EINVAL);
    // Cut short, the erase has reached the first half of the range.
    const bool cut_short = sim_power_cut_due(SimCut::Erase);
    const uint64_t end = start + (cut_short ? len / 2 : len);
    const std::vector<uint8_t> blank(static_cast<size_t>(block), 0xFF);
    for (uint64_t off = start; off < end; off += block)
        if (!pwrite_full(fd, blank.data(), static_cast<size_t>(std::min(block, end - off)), off))
            return -1;
    if (cut_short)
        cut(SimCut::Erase, partition, start);
    return 0;
}

} // namespace

void sim_mtd_reset() { g_calls.clear(); }

int sim_mtd_ioctl(int fd, const std::string &partition, unsigned long request, unsigned long arg)
{
    if (request == MEMGETINFO)
        return get_info(fd, partition, reinterpret_cast<mtd_info_user *>(arg));
    if (request == MEMERASE)
        return erase(fd, partition, reinterpret_cast<const erase_info_user *>(arg));
    return fail(ENOTTY);
}

ssize_t sim_mtd_pread(int fd, const std::string &partition, void *buf, size_t len, off_t off)
{
    uint64_t size;
    if (!transfer_allowed(fd, partition, SimMtdOp::Read, off, size))
        return -1;
    const uint64_t pos = static_cast<uint64_t>(off);
    if (pos >= size)
        return 0;
    if (len > size - pos)
        len = static_cast<size_t>(size - pos);
    if (!pread_full(fd, static_cast<uint8_t *>(buf), len, pos))
        return -1;
    return static_cast<ssize_t>(len);
}

ssize_t sim_mtd_pwrite(int fd, const std::string &partition, const void *buf, size_t len, off_t off)
{
    uint64_t size;
    if (!transfer_allowed(fd, partition, SimMtdOp::Write, off, size))
        return -1;
    const uint64_t pos = static_cast<uint64_t>(off);
    if (pos >= size)
        return fail(ENOSPC);
    if (len > size - pos)
        len = static_cast<size_t>(size - pos);
    if (len == 0)
        return 0;
    std::vector<uint8_t> cells(len);
    if (!pread_full(fd, cells.data(), len, pos)) {
        if (errno != EBADF)
            return -1;
        // Opened write-only: the cells are still there to be read.
        SimUniqueFd ro(open(sim_file("/dev/mtd-" + partition).c_str(), O_RDONLY | O_CLOEXEC));
        if (ro.fd < 0 || !pread_full(ro.fd, cells.data(), len, pos))
            return -1;
    }
    // Cut short, the write has programmed the first half of its bytes.
    const bool cut_short = sim_power_cut_due(SimCut::Write);
    const size_t programmed = cut_short ? len / 2 : len;
    const uint8_t *data = static_cast<const uint8_t *>(buf);
    for (size_t i = 0; i < programmed; i++)
        cells[i] &= data[i];
    if (programmed > 0 && !pwrite_full(fd, cells.data(), programmed, pos))
        return -1;
    if (cut_short)
        cut(SimCut::Write, partition, pos);
    return static_cast<ssize_t>(len);
}
