/*
 * KestrowDemo input output replace: remuxes a recorded MPEG-TS file into a
 * new MPEG-TS file and, during every break that an SCTE-35 cue of the
 * spliced programme announces, replaces the programme's video and audio with
 * the packets of the replace (filler) file.
 */
#include <cstdio>
#include <malloc.h>
#include <unistd.h>

#include "demo/demo.h"

int main(int argc, char **argv)
{
    /*
     * Standard error carries a trace line per packet the splice rules touch:
     * into a file or a pipe it is buffered as standard output is, instead of
     * a system call per line (thousands a break); on a terminal it stays
     * unbuffered. Lines keep their order; all are written by the exit.
     */
    if (!isatty(STDERR_FILENO))
        setvbuf(stderr, nullptr, _IOFBF, BUFSIZ);
    /*
     * Blocks up to 32 MiB come from the heap, not each from a mapping of its
     * own: what the media library frees (the probes' decoded pictures, a
     * megabyte and more each) is reused by its next allocations, the
     * filler's probe after the input's, instead of fresh pages at a page
     * fault per 4 KiB.
     */
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    return demo_run(argc, argv);
}
