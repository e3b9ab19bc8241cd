// Component buffers, shared by both backends: the switch and the host differ
// only in which of these calls their kernel accepts.
#include <sys/mman.h>

#include <cstdlib>

#include "platform/platform.h"

namespace {

// Below this a mapping costs more system calls than the faults it saves.
constexpr size_t MAP_THRESHOLD = 1u << 20;
constexpr size_t HUGE_PAGE = 2u << 20;

size_t mapped_length(size_t size) { return (size + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1); }

} // namespace

void *plat_alloc_buffer(size_t size)
{
    if (size < MAP_THRESHOLD)
        return malloc(size ? size : 1);
    const size_t length = mapped_length(size);
    void *p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return nullptr;
        // Both are hints: a kernel without them faults the pages in as they are read into.
#ifdef MADV_HUGEPAGE
    madvise(p, length, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
    madvise(p, length, MADV_POPULATE_WRITE);
#endif
    return p;
}

void plat_free_buffer(void *buffer, size_t size)
{
    if (!buffer)
        return;
    if (size < MAP_THRESHOLD)
        free(buffer);
    else
        munmap(buffer, mapped_length(size));
}
