/*
 * KestrowDemo: splices the breaks announced in a recorded MPEG-TS into a new
 * MPEG-TS file, with the filler read from a "replace" file.
 */
#ifndef KESTROW_DEMO_DEMO_H
#define KESTROW_DEMO_DEMO_H

#include <cstdint>

#include "pipeline/rep_ctx.h"

struct AVFormatContext;
struct filler_ctx;

#define DEMO_CUE_PID 1424  // stream id (PID) of the cue stream

struct demo_loop_args {
    AVFormatContext *in;
    AVFormatContext *out;
    const int32_t *stream_map;  // input index -> output index, -1 when not copied
    int32_t stream_map_size;
    const filler_ctx *filler;
    rep_ctx *rep;
    int ret_read;   // result of the last av_read_frame
    int ret_write;  // result of the last av_interleaved_write_frame
};

/*
 * Remuxes args->in into args->out through the splice rules, writes every
 * packet it read (also those still queued when the input ends) and the
 * trailer. Leaves ret_read and ret_write in args.
 */
void demo_packets_loop(demo_loop_args *args);

/*
 * The whole program: argv[1] input, argv[2] output, argv[3] replace file.
 * Prints its report on stdout and stderr and returns the exit status (0, or
 * 1 after the usage text, a set-up failure or a read error). Keeps no state
 * between calls, so it can run many times in one process.
 */
int demo_run(int argc, char **argv);

#endif
