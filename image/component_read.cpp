#include "image/component_read.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "image/crc32.h"
#include "image/image_format.h"

namespace {

// Small enough to stay in the second-level cache between the read and the
// two sums, large enough that the system calls do not count.
constexpr size_t READ_PIECE = 256u << 10;

} // namespace

void scan_begin(ComponentScan &scan, SignedRange range)
{
    scan.seen = 0;
    scan.range = range;
    scan.crc = CRC_SEED;
    sha256_init(&scan.sha);
}

void scan_update(ComponentScan &scan, const uint8_t *piece, size_t length)
{
    const uint64_t start = scan.seen, end = start + length;
    if (end > CRC_OFFSET) {
        const uint64_t from = std::max<uint64_t>(start, CRC_OFFSET);
        scan.crc = image_crc32(piece + (from - start), static_cast<uint32_t>(end - from), scan.crc);
    }
    if (scan.range.present) {
        const uint64_t from = std::max(start, scan.range.from), to = std::min(end, scan.range.to);
        if (from < to)
            sha256_update(&scan.sha, piece + (from - start), static_cast<size_t>(to - from));
    }
    scan.seen = end;
}

void scan_finish(ComponentScan &scan, ComponentRead &out)
{
    out.crc = scan.crc;
    out.hashed = scan.range.present && scan.seen >= scan.range.to;
    out.digest.range = scan.range;
    sha256_final(&scan.sha, out.digest.bytes);
}

ComponentBuffer alloc_component_buffer(size_t size)
{
    return ComponentBuffer(static_cast<uint8_t *>(plat_alloc_buffer(size)), BufferRelease{size});
}

size_t pread_upto(int fd, uint8_t *buffer, size_t length, uint64_t offset)
{
    size_t filled = 0;
    while (filled < length) {
        const ssize_t n =
            plat_pread(fd, buffer + filled, length - filled, static_cast<off_t>(offset + filled));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        filled += static_cast<size_t>(n);
    }
    return filled;
}

size_t read_component(int fd, uint64_t offset, uint8_t *buffer, size_t length, ComponentRead &out)
{
    ComponentScan scan;
    scan_begin(scan, {false, 0, 0});
    size_t got = 0;
    bool ended = false;
    while (got < length && !ended) {
        // Whole pieces, so that each is scanned while it is still in cache.
        const size_t piece = std::min(length - got, READ_PIECE);
        const size_t filled = pread_upto(fd, buffer + got, piece, offset + got);
        ended = filled < piece;
        if (got == 0 && filled >= COMPONENT_PROBE_SIZE)
            scan.range = signed_range(
                std::span<const uint8_t, COMPONENT_PROBE_SIZE>(buffer, COMPONENT_PROBE_SIZE), length);
        scan_update(scan, buffer + got, filled);
        got += filled;
    }
    scan_finish(scan, out);
    return got;
}

ComponentBuffer read_component_from(FILE *file, uint32_t length, ComponentRead &out)
{
    struct stat st;
    const off_t start = ftello(file);
    if (start < 0 || fstat(fileno(file), &st) != 0 || st.st_size - start < static_cast<off_t>(length))
        return {};
    ComponentBuffer buffer = alloc_component_buffer(length);
    if (!buffer ||
        read_component(fileno(file), static_cast<uint64_t>(start), buffer.get(), length, out) != length)
        return {};
    return buffer;
}
