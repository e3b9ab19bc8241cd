// Component buffers, shared by both backends: the switch and the host differ
// only in which of these calls their kernel accepts.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/platform.h"

namespace {

// Below this a mapping costs more system calls than the faults it saves.
constexpr size_t MAP_THRESHOLD = 1u << 20;

// Whole pages only: a mapping that also covered the rest of the last huge page
// would hold up to 2 MiB more than the component.
size_t mapped_length(size_t size)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return (size + page - 1) / page * page;
}

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
