/*
 * The demo's run: command line, set-up of filler, input and output, the
 * packet loop and the tear-down. main() only calls demo_run, so that other
 * callers (the fuzz harness) run exactly the same path in-process.
 */
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
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
    printf("usage: %s [--asrun-file=PATH] [--time-signal-breaks] [--program=N] [--spts] input output replace\n"
           "API example program to remux a media file with libavformat and libavcodec.\n"
           "The output is always MPEG-TS, whatever the output file's extension.\n"
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
#define DEMO_PROGRAM_OPTION "--program="
#define DEMO_MAX_MISMATCHES 16
#define DEMO_MUX_RATE 20000000  // bit/s, or more for a multiplex that needs it

/* Prints each stream of the spliced programme that the filler cannot replace. */
static void demo_check_filler(const filler_ctx *filler, const relay_input *in)
{
    filler_mismatch found[DEMO_MAX_MISMATCHES];
    char text[256];
    int n = relay_check_filler(in, filler, found, DEMO_MAX_MISMATCHES);

    for (int i = 0; i < n && i < DEMO_MAX_MISMATCHES; i++) {
        filler_mismatch_text(&found[i], text, sizeof(text));
        fprintf(stderr, "The filler cannot replace %s\n", text);
    }
}

/* The three file names of the command line, and what the options say of the input. */
struct demo_files {
    const char *in;
    const char *out;
    const char *replace;
    int program;    // --program: program_number whose breaks are spliced; 0: the first with video
    int spts;       // --spts: that programme goes out alone
};

/* A program_number: 1..65535, all of text; -1 when it is not one. */
static int demo_program_number(const char *text)
{
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    return end != text && !*end && n >= 1 && n <= 0xFFFF ? (int)n : -1;
}

/*
 * Reads the options, which come before the three file names in any order,
 * into demo and the names into files. False when the names are missing.
 */
static bool demo_parse_args(int argc, char **argv, demo_ctx *demo, demo_files *files)
{
    int first = 1;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first++) {
        if (strncmp(argv[first], DEMO_ASRUN_OPTION, strlen(DEMO_ASRUN_OPTION)) == 0)
            demo->asrun_path = argv[first] + strlen(DEMO_ASRUN_OPTION);
        else if (strcmp(argv[first], "--time-signal-breaks") == 0)
            demo->time_signal_breaks = 1;
        else if (strcmp(argv[first], "--spts") == 0)
            files->spts = 1;
        else if (strncmp(argv[first], DEMO_PROGRAM_OPTION, strlen(DEMO_PROGRAM_OPTION)) == 0)
            files->program = demo_program_number(argv[first] + strlen(DEMO_PROGRAM_OPTION));
        else
            break;
        if (files->program < 0)
            return false;
    }
    if (argc - first < 3)
        return false;
    files->in = argv[first];
    files->out = argv[first + 1];
    files->replace = argv[first + 2];
    return true;
}

/* One run: the event sink's record, and where a timestamp jump ended the loop. */
struct demo_run_ctx {
    demo_ctx demo;
    const relay_input *in;  // for the byte position of a jump
    int jumped;             // the relay reported EVENT_TIME_JUMP
    int64_t jump_from;      // 90 kHz: the highest dts before the jump
    int64_t jump_to;        // 90 kHz: the dts of the packet after it
    int64_t jump_pos;       // input bytes the demuxer had taken by then; -1: unknown
};

/* The relay's events: a timestamp jump is noted for the exit report; each goes on to demo_on_event. */
static void demo_run_on_event(void *opaque, const event *ev)
{
    demo_run_ctx *run = (demo_run_ctx *)opaque;

    if (ev->type == EVENT_TIME_JUMP) {
        AVIOContext *pb = run->in && run->in->fmt ? run->in->fmt->pb : nullptr;
        run->jumped = 1;
        run->jump_to = ev->pts;
        run->jump_from = ev->pts - ev->delta;
        run->jump_pos = pb ? avio_tell(pb) : -1;
    }
    demo_on_event(&run->demo, ev);
}

/* What the demo asks of the relay loop. */
static relay_desc demo_relay_desc(demo_run_ctx *run)
{
    relay_desc desc = {};

    desc.in_depth = 8;
    desc.out_depth = 16;
    desc.cue_pid = DEMO_CUE_PID;
    desc.add_epg = 0;
    desc.mux.mux_rate = DEMO_MUX_RATE;
    /* Programmes passing through must fit beside the one relayed: the output is at least the input's rate. */
    if (run->in && run->in->fmt && run->in->fmt->bit_rate > DEMO_MUX_RATE * 4 / 5)
        desc.mux.mux_rate = run->in->fmt->bit_rate * 5 / 4;
    desc.mux.max_delay = 900000;
    desc.events.fn = demo_run_on_event;
    desc.events.opaque = run;
    desc.trace = &demo_trace;
    desc.verbose = 1;
    desc.time_signal_breaks = run->demo.time_signal_breaks;
    return desc;
}

/*
 * The exit status: 1, after its line on stderr, when the output could not
 * be written (write_ret), when a timestamp jump stopped the loop, or when
 * ret is an error other than the end of the input; otherwise 0.
 */
static int demo_status(const demo_run_ctx *run, const char *out_name, int ret, int write_ret)
{
    char err[ERR_TEXT_SIZE] = {0};

    if (write_ret < 0) {
        fprintf(stderr, "Could not write the output '%s': %s\n", out_name, err_to_str(err, sizeof(err), write_ret));
        return 1;
    }
    if (ret == AVERROR_INVALIDDATA && run->jumped) {
        char where[48] = "";
        if (run->jump_pos >= 0)
            snprintf(where, sizeof(where), " near byte %" PRId64, run->jump_pos);
        fprintf(stderr, "Timestamp jump in the input%s: dts %" PRId64 " (%f s) followed by dts %" PRId64
                " (%f s); a jump of more than %d s starts a new timeline, which KestrowDemo does not follow: "
                "the output ends before it\n", where, run->jump_from, run->jump_from / 90000.0, run->jump_to,
                run->jump_to / 90000.0, RELAY_MAX_DTS_JUMP / 90000);
        return 1;
    }
    if (ret < 0 && ret != AVERROR_EOF) {
        fprintf(stderr, "Error occurred: %s\n", err_to_str(err, sizeof(err), ret));
        return 1;
    }
    return 0;
}

int demo_run(int argc, char **argv)
{
    demo_run_ctx run = {};
    demo_files files = {};
    relay_input in = {};
    filler_ctx *filler = nullptr;
    relay *relay = nullptr;
    int write_ret = 0;
    bool nothing = true;  // no packet of the input reached the output
    int ret;

    avformat_network_init();
    if (!demo_parse_args(argc, argv, &run.demo, &files)) {
        demo_usage(argv[0]);
        return 1;
    }
    if (run.demo.asrun_path) {
        ret = asrun_create(&run.demo.asrun, run.demo.asrun_path, 0);
        if (ret < 0) {
            fprintf(stderr, "Could not use the as-run file '%s': %s\n", run.demo.asrun_path, strerror(-ret));
            return 1;
        }
    }

    log_packet_set_sink(&demo_trace);

    ret = filler_load(files.replace, &filler);
    if (ret < 0) {
        fprintf(stderr, "Could not open replace file '%s'", files.replace);
        goto out_teardown;
    }
    demo_show_filler(filler, files.replace);

    in.program = files.program;
    in.spts = files.spts;
    ret = relay_open_input(&in, files.in, nullptr, nullptr);
    if (ret < 0) {
        if (in.failed_step == RELAY_INPUT_PROBE)
            fprintf(stderr, "Failed to retrieve input stream information");
        else
            fprintf(stderr, "Could not open input file '%s'", files.in);
        goto out_teardown;
    }
    fprintf(stderr, "ifmt_ctx initialized\n");
    av_dump_format(in.fmt, 0, files.in, 0);
    demo_check_filler(filler, &in);

    run.in = &in;
    {
        relay_desc desc = demo_relay_desc(&run);
        ret = relay_create(&relay, &desc, &in, filler);
    }
    if (ret < 0)
        goto out_teardown;
    ret = relay_open_output(relay, files.out, nullptr, nullptr);
    if (ret < 0)
        goto out_teardown;
    ret = relay_run(relay);
    printf("ret_write=%d, ret_read=%d\n", relay->ret_write, relay->ret_read);
    write_ret = relay->ret_write;
    nothing = relay_packets_out(relay) == 0;

out_teardown:
    if (relay) {
        /* The output's last bytes leave as it closes: a failure there is a failed write too. */
        int close_ret = relay_destroy(&relay);
        if (write_ret >= 0)
            write_ret = close_ret;
    }
    relay_close_input(&in);
    filler_destroy(&filler);
    if (run.demo.asrun)
        asrun_destroy(&run.demo.asrun);
    int status = demo_status(&run, files.out, ret, write_ret);
    if (status == 0 && nothing) {
        fprintf(stderr, "Nothing of the input could be written to '%s': no packet of it belongs to a stream "
                "that can be relayed or passed through\n", files.out);
        status = 1;
    }
    return status;
}
