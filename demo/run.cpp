/*
 * The demo's run: command line, set-up of filler, input and output, the
 * packet loop and the tear-down. main() only calls demo_run, so that other
 * callers (the fuzz harness) run exactly the same path in-process.
 */
#include <cinttypes>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/asrun.h"
#include "demo/demo.h"
#include "splice/filler.h"
#include "relay/relay.h"
#include "common/trace.h"

static void demo_usage(const char *name)
{
    printf("usage: %s [--asrun-file=PATH] [--time-signal-breaks] input output replace\n"
           "API example program to remux a media file with libavformat and libavcodec.\n"
           "The output format is guessed according to the file extension.\n"
           "\n", name);
}

/* Prints the filler's start times on stdout and its streams through the library log. */
static void demo_show_filler(const filler_ctx *filler, const char *name)
{
    printf("[fmt].start_time = %" PRId64 "\n", filler->format->start_time);
    for (unsigned i = 0; i < filler->format->nb_streams; i++)
        printf("[%d].start_time = %" PRId64 "\n", (int)i, filler->format->streams[i]->start_time);
    av_dump_format(filler->format, 0, name, 0);
}

#define DEMO_ASRUN_OPTION "--asrun-file="
#define DEMO_MAX_MISMATCHES 16

/* Prints each programme stream the filler cannot replace. */
static void demo_check_filler(const filler_ctx *filler, const AVFormatContext *in)
{
    filler_mismatch found[DEMO_MAX_MISMATCHES];
    char text[256];
    int n = filler_check(filler, in, found, DEMO_MAX_MISMATCHES);

    for (int i = 0; i < n && i < DEMO_MAX_MISMATCHES; i++) {
        filler_mismatch_text(&found[i], text, sizeof(text));
        fprintf(stderr, "The filler cannot replace %s\n", text);
    }
}

/* What the demo asks of the relay loop. */
static relay_desc demo_relay_desc(demo_ctx *demo)
{
    relay_desc desc = {};

    desc.in_depth = 8;
    desc.out_depth = 16;
    desc.cue_pid = DEMO_CUE_PID;
    desc.add_epg = 0;
    desc.mux.mux_rate = 20000000;
    desc.mux.max_delay = 900000;
    desc.events.fn = demo_on_event;
    desc.events.opaque = demo;
    desc.trace = &demo_trace;
    desc.verbose = 1;
    desc.time_signal_breaks = demo->time_signal_breaks;
    return desc;
}

int demo_run(int argc, char **argv)
{
    relay_input in = {};
    filler_ctx *filler = nullptr;
    relay *relay = nullptr;
    demo_ctx demo = {};
    int write_ret = 0;
    int ret;

    avformat_network_init();
    /* Options come before the three file names, in any order. */
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first++) {
        if (strncmp(argv[first], DEMO_ASRUN_OPTION, strlen(DEMO_ASRUN_OPTION)) == 0)
            demo.asrun_path = argv[first] + strlen(DEMO_ASRUN_OPTION);
        else if (strcmp(argv[first], "--time-signal-breaks") == 0)
            demo.time_signal_breaks = 1;
        else
            break;
    }
    if (argc - first < 3) {
        demo_usage(argv[0]);
        return 1;
    }
    const char *in_name = argv[first];
    const char *out_name = argv[first + 1];
    const char *replace_name = argv[first + 2];
    if (demo.asrun_path) {
        ret = asrun_create(&demo.asrun, demo.asrun_path, 0);
        if (ret < 0) {
            fprintf(stderr, "Could not use the as-run file '%s': %s\n", demo.asrun_path, strerror(-ret));
            return 1;
        }
    }

    log_packet_set_sink(&demo_trace);

    ret = filler_load(replace_name, &filler);
    if (ret < 0) {
        fprintf(stderr, "Could not open replace file '%s'", replace_name);
        goto out_teardown;
    }
    demo_show_filler(filler, replace_name);

    ret = relay_open_input(&in, in_name, nullptr, nullptr);
    if (ret < 0) {
        if (in.failed_step == RELAY_INPUT_PROBE)
            fprintf(stderr, "Failed to retrieve input stream information");
        else
            fprintf(stderr, "Could not open input file '%s'", in_name);
        goto out_teardown;
    }
    fprintf(stderr, "ifmt_ctx initialized\n");
    av_dump_format(in.fmt, 0, in_name, 0);
    demo_check_filler(filler, in.fmt);

    {
        relay_desc desc = demo_relay_desc(&demo);
        ret = relay_create(&relay, &desc, &in, filler);
    }
    if (ret < 0)
        goto out_teardown;
    ret = relay_open_output(relay, out_name, nullptr, nullptr);
    if (ret < 0)
        goto out_teardown;
    relay_run(relay);
    printf("ret_write=%d, ret_read=%d\n", relay->ret_write, relay->ret_read);
    ret = relay->ret_read;
    write_ret = relay->ret_write;

out_teardown:
    if (relay) {
        /* The output's last bytes leave as it closes: a failure there is a failed write too. */
        int close_ret = relay_destroy(&relay);
        if (write_ret >= 0)
            write_ret = close_ret;
    }
    relay_close_input(&in);
    filler_destroy(&filler);
    if (demo.asrun)
        asrun_destroy(&demo.asrun);

    if (write_ret < 0) {
        char err[ERR_TEXT_SIZE] = {0};
        fprintf(stderr, "Could not write the output '%s': %s\n", out_name, err_to_str(err, sizeof(err), write_ret));
        return 1;
    }
    if (ret < 0 && ret != AVERROR_EOF) {
        char err[ERR_TEXT_SIZE] = {0};
        fprintf(stderr, "Error occurred: %s\n", err_to_str(err, sizeof(err), ret));
        return 1;
    }
    return 0;
}
