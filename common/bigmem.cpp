/*
 * Large buffers: aligned to a huge page and rounded up to whole ones, so that
 * every part of them can be backed by one.
 */
#include "common/bigmem.h"

#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>

void *bigmem_alloc(size_t size)
{
    if (size == 0 || size > SIZE_MAX - BIGMEM_PAGE)
        return nullptr;
    size_t rounded = (size + BIGMEM_PAGE - 1) / BIGMEM_PAGE * BIGMEM_PAGE;
    void *p = nullptr;
    if (posix_memalign(&p, BIGMEM_PAGE, rounded) != 0)
        return nullptr;
    madvise(p, rounded, MADV_HUGEPAGE);  // a hint: without huge pages the buffer works the same
    return p;
}

void bigmem_free(void *p)
{
    free(p);
}

void bigmem_advise(void *p, size_t size)
{
    uintptr_t from = ((uintptr_t)p + BIGMEM_PAGE - 1) / BIGMEM_PAGE * BIGMEM_PAGE;
    uintptr_t to = ((uintptr_t)p + size) / BIGMEM_PAGE * BIGMEM_PAGE;
    if (p && to > from)
        madvise((void *)from, to - from, MADV_HUGEPAGE);
}
