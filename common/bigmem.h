/*
 * Large buffers that the kernel may back with huge pages (2 MiB on x86-64).
 * A buffer of many megabytes filled page by page otherwise costs one page
 * fault per 4 KiB, and on a virtual machine those faults cost more than
 * writing the bytes. The buffer asks for huge pages (madvise), which a kernel
 * whose transparent huge pages are "madvise" or "always" gives where it can;
 * elsewhere it is an ordinary allocation. KestrowApp turns huge pages off
 * for itself (service/main.cpp): there these are ordinary allocations.
 */
#ifndef KESTROW_COMMON_BIGMEM_H
#define KESTROW_COMMON_BIGMEM_H

#include <cstddef>

#define BIGMEM_PAGE ((size_t)2 << 20)

/*
 * size bytes, not initialised, aligned to BIGMEM_PAGE (the allocation is
 * rounded up to a multiple of it, of which only the pages touched become
 * resident); null for size 0 or without memory. Free with bigmem_free.
 */
void *bigmem_alloc(size_t size);

/* Frees what bigmem_alloc returned; null: nothing. */
void bigmem_free(void *p);

/*
 * Asks huge pages for the whole ones within [p, p + size), memory allocated
 * elsewhere (a library's buffer of megabytes): a hint, which takes effect on
 * the pages not touched yet; a range holding no whole huge page is left as
 * it is.
 */
void bigmem_advise(void *p, size_t size);

#endif
