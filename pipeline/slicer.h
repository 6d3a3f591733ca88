/*
 * The service's stream sessions: UDP input, MPEG-TS output mirroring every
 * input stream on its PID, the packet loop and the splice controller.
 */
#ifndef KESTROW_PIPELINE_SLICER_H
#define KESTROW_PIPELINE_SLICER_H

#include <cstdint>

#include "pipeline/rep_ctx.h"

struct AVFormatContext;
struct AVPacket;
struct AVStream;
struct app_ctx;
struct packets_queue;

/* One stream session; zero-filled at the start of every session. */
struct session_ctx {
    AVFormatContext *input;   // demuxer on src_url
    AVFormatContext *output;  // MPEG-TS muxer on dst_url
    int32_t *stream_map;      // input stream index -> output stream index; -1: none
    int32_t stream_map_size;
    rep_ctx rep;              // splice controller state, idle at the start
    packets_queue *held;      // audio the splice controller holds while a break is armed
};

/*
 * Builds the URLs, routes the media library's log into the logger, loads the
 * filler and runs one stream session after another until the stop flag is
 * set. Returns 0 after the stop flag was set, or at once when the filler
 * cannot be loaded.
 */
int slicer_main_loop(app_ctx *app);

/* Runs one stream session; 0 after a complete session, else the failing step's code. */
int slicer_streams(app_ctx *app);

/* Creates the output stream out_index mirroring input stream in_index; 0 or a library code. */
int add_stream(session_ctx *session, int in_index, int out_index);

/* Relays packets from input to output until the stop flag, the end of input or a fatal error. Returns 0. */
int slicer_packets_loop(app_ctx *app, session_ctx *session);

/*
 * The splice controller's step for one mapped packet (stream index already
 * the output index). On return *pkt is still the loop's, or null because the
 * controller queued or dropped it; filler packets may have been queued.
 */
void splice_on_packet(app_ctx *app, session_ctx *session, const AVStream *ist, AVPacket **pkt,
                      packets_queue *queue);

#endif
