/*
 * The demo's console: what the relay and the splice rules report, worded on
 * standard output and standard error.
 */
#include <cinttypes>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/avutil.h>
}

#include "common/asrun.h"
#include "common/log.h"
#include "demo/demo.h"
#include "common/trace.h"
#include "ts/ts_layout.h"

static void demo_setup_failed(const event *ev)
{
    switch (ev->reason) {
    case EVENT_STEP_OUTPUT_CONTEXT:
        fprintf(stderr, "Could not create output context\n");
        break;
    case EVENT_STEP_NEW_STREAM:
        fprintf(stderr, "Failed allocating output stream\n");
        break;
    case EVENT_STEP_CODEC_PARAMETERS:
        fprintf(stderr, "Failed to copy codec parameters\n");
        break;
    case EVENT_STEP_METADATA:
        fprintf(stderr, "Failed to copy codec metadatas\n");
        break;
    case EVENT_STEP_OPEN_OUTPUT:
        fprintf(stderr, "Could not open output file '%s'", ev->text);
        break;
    case EVENT_STEP_WRITE_HEADER:
        fprintf(stderr, "Error occurred when opening output file\n");
        break;
    case EVENT_STEP_LAYOUT:
        fprintf(stderr, "Output identity refused: %s\n", ev->text ? ev->text : "");
        break;
    default:
        break;
    }
}

/* The as-run line of ev, if it has one. */
static void demo_record(demo_ctx *demo, const event *ev)
{
    asrun_record rec;

    if (!demo || !demo->asrun || event_asrun(ev, (int64_t)log_now_ms(), &rec) <= 0)
        return;
    int ret = asrun_write(demo->asrun, &rec);
    if (ret < 0)
        fprintf(stderr, "Could not write the as-run file '%s': %s\n", demo->asrun_path, strerror(-ret));
}

/* What the event's id counts: splice_insert events or time_signal segmentation events. */
static const char *demo_id_name(const event *ev)
{
    return ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "segmentation_event_id" : "splice_event_id";
}

void demo_on_event(void *opaque, const event *ev)
{
    char err[ERR_TEXT_SIZE] = {0};

    demo_record((demo_ctx *)opaque, ev);
    switch (ev->type) {
    case EVENT_CUE_DECODED:
    case EVENT_CUE_FAILED:
        for (int i = 0; i < ev->size; i++)
            printf("%.2X", ev->data[i]);
        putchar('\n');
        if (ev->type == EVENT_CUE_FAILED)
            puts("Failed to parse");
        break;
    case EVENT_ARMED:
        if (ev->pts_time != AV_NOPTS_VALUE)
            printf("%s.splice_time.pts_time=%" PRId64 "\n",
                   ev->flags & EVENT_CUE_SEGMENTATION_FLAG ? "time_signal" : "splice_insert", ev->pts_time);
        if (ev->pts_time != AV_NOPTS_VALUE && ev->splice_time != ev->pts_time)
            printf("effective splice point=%" PRId64 " (%f), pts_adjustment=%" PRIu64 "\n", ev->splice_time,
                   ev->splice_time / 90000.0, ev->pts_adjustment);
        if (ev->reason != EVENT_ARM_CUE)
            printf("%s=%u armed (%s) at %" PRId64 "\n", demo_id_name(ev), ev->splice_event_id, event_reason_name(ev),
                   ev->splice_time);
        if (ev->flags & EVENT_CUE_IMMEDIATE_FLAG)
            printf("%s=%u armed: immediate, at the next video key frame\n", demo_id_name(ev), ev->splice_event_id);
        else
            printf("remain: %" PRId64 " ticks (%f sec)\n", ev->delta, ev->delta / 90000.0);
        if (ev->flags & EVENT_CUE_DURATION_FLAG && ev->pts_time != AV_NOPTS_VALUE)
            printf("splice_insert.break_duration.duration=%" PRId64 " (%f), at=%" PRId64 "\n", ev->duration,
                   ev->duration / 90000.0, ev->pts_time + ev->duration);
        break;
    case EVENT_CUE_IGNORED:
        printf("cue of %s=%u ignored: %s\n", demo_id_name(ev), ev->splice_event_id, event_reason_name(ev));
        break;
    case EVENT_CUE_REPEATED:
        printf("%s=%u repeated: nothing changes\n", demo_id_name(ev), ev->splice_event_id);
        break;
    case EVENT_CANCELLED:
        printf("%s=%u cancelled: %s\n", demo_id_name(ev), ev->splice_event_id,
               ev->reason == EVENT_CANCEL_ARMED ? "disarmed" : "no longer kept for after the break");
        break;
    case EVENT_RETURN_SCHEDULED:
        if (ev->flags & EVENT_CUE_IMMEDIATE_FLAG)
            printf("return cue %s=%u: the break ends at the next video key frame\n", demo_id_name(ev),
                   ev->splice_event_id);
        else
            printf("return cue %s=%u: the break ends at the first video key frame at %" PRId64 " (%f)\n",
                   demo_id_name(ev), ev->splice_event_id, ev->splice_time, ev->splice_time / 90000.0);
        break;
    case EVENT_NEXT_KEPT:
        printf("%s=%u at %" PRId64 " kept: it starts when the break under way ends\n", demo_id_name(ev),
               ev->splice_event_id, ev->splice_time);
        break;
    case EVENT_BREAK_SKIPPED:
        printf("break of %s=%u skipped (%s): the filler has no video for output stream %d\n", demo_id_name(ev),
               ev->splice_event_id, event_reason_name(ev), ev->stream);
        break;
    case EVENT_BREAK_STARTED:
        printf("Splicing started: delta=%" PRId64 ", time=%f\n", ev->delta, ev->delta / 90000.0);
        if (ev->pts_shift > 0)
            printf("filler video pts shifted by %" PRId64 " ticks (%f sec) to keep pts >= dts\n", ev->pts_shift,
                   ev->pts_shift / 90000.0);
        break;
    case EVENT_STREAM_MISSED:
    case EVENT_STREAM_SWITCHED:
        if (ev->type == EVENT_STREAM_MISSED || ev->reason == EVENT_SWITCH_TO_FILLER)
            printf("found audio stream %d, dts delta=%" PRId64 ", rep_ctx.scte_35_pts_time=%" PRId64 "\n",
                   ev->stream, ev->delta, ev->pts);
        if (ev->type == EVENT_STREAM_MISSED)
            puts("Strange conditions: break outside packet.");
        else if (ev->reason == EVENT_SWITCH_BACK_AT_END)
            printf("end of break detected for stream %d, sent_dts=%" PRId64 ", end_pts=%" PRId64 "\n", ev->stream,
                   ev->pts, ev->end_pts);
        else if (ev->reason == EVENT_SWITCH_BACK_FILLER_END)
            printf("end of source stream %d reached\n", ev->stream);
        if (ev->type == EVENT_STREAM_MISSED || ev->reason == EVENT_SWITCH_TO_FILLER)
            putchar('\n');
        break;
    case EVENT_BREAK_ENDED:
        if (ev->reason != EVENT_END_FILLER_END && ev->reason != EVENT_END_SESSION_END)
            printf("Splicing finished: delta=%" PRId64 ", time=%f, rep_ctx.end_pts=%" PRId64 "\n", ev->delta,
                   ev->delta / 90000.0, ev->end_pts);
        printf("break of %s=%u ended: %s, aired=%" PRId64 " (%f sec)\n", demo_id_name(ev), ev->splice_event_id,
               event_reason_name(ev), ev->aired == AV_NOPTS_VALUE ? 0 : ev->aired,
               ev->aired == AV_NOPTS_VALUE ? 0 : ev->aired / 90000.0);
        break;
    case EVENT_IDLE:
        puts("SPLICING_STATE_IDLE");
        break;
    case EVENT_RELAY_STARTED:
        puts("Starting loop...");
        break;
    case EVENT_FIRST_TIMESTAMP:
        fprintf(stderr, "dts_stream_max=%" PRId64 " (%f)\n", ev->pts, ev->pts / 90000.0);
        break;
    case EVENT_TIME_JUMP:
        fprintf(stderr, "delta=%" PRId64 "\n", ev->delta);
        break;
    case EVENT_STREAM_ATTACHED:
        printf("source stream %d now belongs to output stream %d\n", ev->code, ev->stream);
        break;
    case EVENT_STREAM_ADDED:
        fprintf(stderr, "stream[%d]->id=%d [0x%X]\n", ev->stream, ev->code, (unsigned)ev->code);
        break;
    case EVENT_STREAM_UNKNOWN:
        if (ev->reason == TS_STREAM_LEAVE_OUT)
            fprintf(stderr, "stream on PID 0x%X: parameters unknown, left out\n", (unsigned)ev->code);
        else
            fprintf(stderr, "stream on PID 0x%X: no sample rate yet, relayed as declared\n", (unsigned)ev->code);
        break;
    case EVENT_LEADING_DROPPED:
        printf("%" PRId64 " leading pictures of the GOP at pts %" PRId64 " left out on stream %d\n", ev->delta,
               ev->pts, ev->stream);
        break;
    case EVENT_OUTPUT_OPENING:
        printf("Opening [%s]...\n", ev->text);
        break;
    case EVENT_SETUP_FAILED:
        demo_setup_failed(ev);
        break;
    case EVENT_QUEUE_REFUSED:
        fprintf(stderr, "packets_queue_push failed with %d\n", ev->code);
        break;
    case EVENT_WRITE_FAILED:
        fprintf(stderr, "Error muxing packet: %s\n", err_to_str(err, sizeof(err), ev->code));
        break;
    default:
        break;
    }
}

static void demo_on_trace(void *opaque, int kind, const char *line)
{
    (void)opaque;
    if (kind == TRACE_DETAIL)
        puts(line);
    else
        fprintf(stderr, "%s\n", line);
}

const trace_sink demo_trace = {demo_on_trace, nullptr};
