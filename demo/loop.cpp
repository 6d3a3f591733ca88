/*
 * The demo's packet loop: read, guard the timestamps, take cues at once,
 * hold packets in an input queue of depth 8, run the splice rules on the
 * oldest, and write through an output queue that keeps a backlog of 15.
 */
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

extern "C" {
#include <libavformat/avformat.h>
}

#include "demo/demo.h"
#include "pipeline/packets_queue.h"
#include "pipeline/splice.h"
#include "pipeline/trace.h"

#define DEMO_QUEUE_CAPACITY 512
#define DEMO_IN_DEPTH       8
#define DEMO_OUT_DEPTH      16
#define DEMO_MAX_DTS_JUMP   1800000  // 20 s

struct demo_loop {
    demo_loop_args *args;
    packets_queue *in_queue;
    packets_queue *out_queue;
    packets_queue *held;  // audio held by the splice rules while a break is armed
    splice_env env;
};

/*
 * Right after a break started: trace the audio already waiting in the output
 * queue at or after the splice point, which the break can no longer replace.
 */
static void demo_queue_check(const splice_env *env, rep_ctx *rep)
{
    const packets_queue *q = env->queue;

    rep->state = SPLICING_STATE_QUEUE_CHECK;
    for (int i = 0; i < q->count; i++) {
        const AVPacket *p = q->items[i];
        const AVStream *st = env->out->streams[p->stream_index];
        if (p->pts >= rep->scte_35_pts_time && st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO)
            log_packet(env->out, p, "ouq");
    }
    rep->state = SPLICING_STATE_STARTED;
}

/* Writes the oldest queued packets while more than keep are queued; -1 after a muxing error. */
static int demo_write(demo_loop *loop, int keep)
{
    AVPacket *pkt = nullptr;

    while (loop->out_queue->count > keep && packets_queue_pop(loop->out_queue, &pkt) >= 0) {
        loop->args->ret_write = av_interleaved_write_frame(loop->args->out, pkt);
        av_packet_free(&pkt);
        if (loop->args->ret_write < 0) {
            char err[ERR_TEXT_SIZE] = {0};
            fprintf(stderr, "Error muxing packet: %s\n",
                    err_to_str(err, sizeof(err), loop->args->ret_write));
            return -1;
        }
    }
    return 0;
}

/*
 * Runs the splice rules on one packet taken from the input queue and queues
 * what results for the muxer. Takes pkt. Returns -1 when the loop must end.
 */
static int demo_splice(demo_loop *loop, AVPacket *pkt)
{
    demo_loop_args *args = loop->args;
    const AVStream *ist = args->in->streams[pkt->stream_index];

    pkt->stream_index = args->stream_map[pkt->stream_index];
    splice_packet(&loop->env, args->rep, ist, &pkt);
    if (!pkt)
        return 0;

    pkt->pos = -1;
    int ret = packets_queue_push(loop->out_queue, pkt);
    if (ret < 0) {
        fprintf(stderr, "%s:%d packets_queue_push failed with %d\n", "main", 600, ret);
        av_packet_free(&pkt);
        return -1;
    }
    return 0;
}

/* Whether packets of this input stream are copied to the output. */
static bool demo_is_copied(const demo_loop_args *args, int index)
{
    return index >= 0 && index < args->stream_map_size && args->stream_map[index] >= 0;
}

void demo_packets_loop(demo_loop_args *args)
{
    demo_loop loop = {};
    int64_t dts_stream_max = AV_NOPTS_VALUE;
    AVPacket *pkt = nullptr;
    bool write_failed = false;

    loop.args = args;
    args->ret_read = 0;
    args->ret_write = 0;
    if (packets_queue_create(&loop.in_queue, DEMO_QUEUE_CAPACITY) < 0 ||
        packets_queue_create(&loop.out_queue, DEMO_QUEUE_CAPACITY) < 0 ||
        packets_queue_create(&loop.held, SPLICE_HELD_MAX) < 0) {
        args->ret_read = AVERROR(ENOMEM);
        goto out_trailer;
    }
    loop.env.in = args->in;
    loop.env.out = args->out;
    loop.env.filler = args->filler;
    loop.env.queue = loop.out_queue;
    loop.env.held = loop.held;
    loop.env.voice = SPLICE_VOICE_CONSOLE;
    loop.env.verbose = 1;
    loop.env.on_break_start = demo_queue_check;

    /*
     * A live input is read afresh from here. A file is not: what probing
     * read is the start of the recording, and a short file may lie there
     * whole.
     */
    if (!args->in->pb || !(args->in->pb->seekable & AVIO_SEEKABLE_NORMAL)) {
        if (args->in->pb)
            avio_flush(args->in->pb);
        avformat_flush(args->in);
    }
    puts("Starting loop...");

    for (;;) {
        pkt = av_packet_alloc();
        if (!pkt) {
            args->ret_read = AVERROR(ENOMEM);
            break;
        }
        args->ret_read = av_read_frame(args->in, pkt);
        if (args->ret_read < 0)
            break;

        if (pkt->pts == AV_NOPTS_VALUE || pkt->dts == AV_NOPTS_VALUE) {
            log_packet(args->in, pkt, "NOPTS");
            av_packet_free(&pkt);
            continue;
        }

        if (dts_stream_max == AV_NOPTS_VALUE) {
            dts_stream_max = pkt->dts;
            fprintf(stderr, "dts_stream_max=%" PRId64 " (%f)\n", dts_stream_max, dts_stream_max / 90000.0);
        } else {
            int64_t delta = pkt->dts - dts_stream_max;
            if (llabs(delta) > DEMO_MAX_DTS_JUMP) {
                fprintf(stderr, "delta=%" PRId64 "\n", delta);
                log_packet(args->in, pkt, "BAD");
                break;
            }
            if (pkt->dts > dts_stream_max)
                dts_stream_max = pkt->dts;
        }

        if (!demo_is_copied(args, pkt->stream_index)) {
            const AVStream *ist = args->in->streams[pkt->stream_index];
            if (ist->id == DEMO_CUE_PID)
                splice_cue(&loop.env, args->rep, ist, pkt);
            av_packet_free(&pkt);
            continue;
        }

        int ret = packets_queue_push(loop.in_queue, pkt);
        if (ret < 0) {
            fprintf(stderr, "%s:%d packets_queue_push failed with %d\n", "main", 312, ret);
            break;
        }
        pkt = nullptr;
        if (loop.in_queue->count < DEMO_IN_DEPTH)
            continue;

        packets_queue_pop(loop.in_queue, &pkt);
        ret = demo_splice(&loop, pkt);
        pkt = nullptr;
        if (ret < 0)
            break;
        if (demo_write(&loop, DEMO_OUT_DEPTH - 1) < 0) {
            write_failed = true;
            break;
        }
    }
    av_packet_free(&pkt);

    /* Nothing read is left behind: the held packets go through the rules and out. */
    while (!write_failed && packets_queue_pop(loop.in_queue, &pkt) >= 0) {
        if (demo_splice(&loop, pkt) < 0)
            break;
    }
    if (!write_failed) {
        splice_release_held(&loop.env);
        demo_write(&loop, 0);
    }

    printf("ret_write=%d, ret_read=%d\n", args->ret_write, args->ret_read);
out_trailer:
    packets_queue_destroy(&loop.in_queue);
    packets_queue_destroy(&loop.out_queue);
    packets_queue_destroy(&loop.held);
    av_write_trailer(args->out);
}
