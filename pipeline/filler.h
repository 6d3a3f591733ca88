/*
 * The filler recording in memory: every packet of the file, grouped by stream
 * index in file order, read once and never changed afterwards. Users read or
 * clone (av_packet_clone) the packets and never change or free them.
 */
#ifndef KESTROW_PIPELINE_FILLER_H
#define KESTROW_PIPELINE_FILLER_H

#include <cstdint>

struct AVFormatContext;
struct AVPacket;

#define FILLER_MAX_STREAMS 16
#define FILLER_GROWTH      1024

struct filler_stream {
    int32_t count;
    int32_t capacity;   // multiple of FILLER_GROWTH
    AVPacket **packets; // null while the stream has no packet
};

struct filler_ctx {
    AVFormatContext *format;  // kept open: stream ids and start times
    filler_stream streams[FILLER_MAX_STREAMS];
};

/*
 * Reads the whole file at path into a new store in *out. Packets of streams
 * with an index of FILLER_MAX_STREAMS or more are not stored. Returns 0; -22
 * if out is null; -12 without memory; the library's code when the file cannot
 * be opened or probed. On failure *out is null and nothing stays allocated.
 */
int filler_load(const char *path, filler_ctx **out);

/* Frees the store and sets *p to null. 0; -22 if p or *p is null. */
int filler_destroy(filler_ctx **p);

#endif
