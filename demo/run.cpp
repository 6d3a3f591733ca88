/*
 * The demo's run: command line, set-up of filler, input and output, the
 * packet loop and the tear-down. main() only calls demo_run, so that other
 * callers (the fuzz harness) run exactly the same path in-process.
 */
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include "common/asrun.h"
#include "demo/demo.h"
#include "splice/filler.h"
#include "relay/relay.h"
#include "common/trace.h"
#include "traffic/traffic.h"

static void demo_usage(const char *name)
{
    printf("usage: %s [--asrun-file=PATH] [--time-signal-breaks] [--open-breaks] [--max-break=SECONDS]\n"
           "          [--frame-accurate=auto|off]\n"
           "          [--max-pending=N] [--max-cue-lead=S] [--late-join=S] [--service_name=NAME]\n"
           "          [--schedule=PATH --spots=DIR [--clock=YYYY-MM-DDTHH:MM:SS]\n"
           "          [--channel-id=CC --headend-id=HHH] [--verification=PATH] [--spot-cache=MiB]]\n"
           "          [--program=N] [--spts] [--loudness=LUFS] [--normalize-filler]\n"
           "          input output replace\n"
           "API example program to remux a media file with libavformat and libavcodec.\n"
           "The output is always MPEG-TS, whatever the output file's extension.\n"
           "--max-pending: events waiting beside the armed one, 0-64 [16]; --max-cue-lead: a splice\n"
           "point further ahead is not taken, 1-43200 s [600]; --late-join: a cue up to S late joins\n"
           "its break, 0-600 s [2]; --loudness: spots and filler are conformed to the channel's format\n"
           "at this integrated loudness, -40 to -5 LUFS [-23]; --normalize-filler: a .ts filler is\n"
           "conformed too (without it, its loudness is measured and said).\n"
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

#define DEMO_MAX_MISMATCHES 16
#define DEMO_MAX_BREAK_S    300  // --max-break by default
#define DEMO_SPOT_CACHE_MB  512  // --spot-cache by default
#define DEMO_LOUDNESS       (-23.0)  // --loudness by default, LUFS
#define DEMO_MUX_RATE       20000000  // bit/s, or more for a multiplex that needs it
#define DEMO_STAGE_SIZE     (174 * 188)  // bytes the muxer hands the output stage at once (a file's buffer, whole packets)

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

/* The three file names of the command line. */
struct demo_files {
    const char *in;
    const char *out;
    const char *replace;
};

/* The options that take a text, and where it goes. */
static const struct {
    const char *prefix;
    const char *demo_ctx::*field;
} demo_text_options[] = {
    {"--asrun-file=", &demo_ctx::asrun_path},     {"--schedule=", &demo_ctx::schedule},
    {"--spots=", &demo_ctx::spots},               {"--channel-id=", &demo_ctx::channel_id},
    {"--headend-id=", &demo_ctx::headend_id},     {"--verification=", &demo_ctx::verification},
    {"--service_name=", &demo_ctx::service_name},
};

/* --clock's YYYY-MM-DDTHH:MM:SS as local wall ms, or ASRUN_NONE. */
static int64_t demo_clock(const char *text)
{
    struct tm tm = {};
    const char *end = strptime(text, "%Y-%m-%dT%H:%M:%S", &tm);
    if (!end || *end)
        return ASRUN_NONE;
    tm.tm_isdst = -1;
    return (int64_t)mktime(&tm) * 1000;
}

/*
 * The value of "--name=N" in arg, a whole number from min to max, into *out:
 * 1; 0 when arg is another option; -1 when its value is refused.
 */
static int demo_number_option(const char *arg, const char *name, int64_t min, int64_t max, int64_t *out)
{
    size_t n = strlen(name);
    if (strncmp(arg, name, n) != 0 || arg[n] != '=')
        return 0;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(arg + n + 1, &end, 10);
    if (!isdigit((unsigned char)arg[n + 1]) || *end || errno || v < min || v > max)
        return -1;
    *out = v;
    return 1;
}

/*
 * The options that take a whole number of seconds or items (--spot-cache:
 * MiB; --program: a program_number), their range and scale.
 */
static int demo_numbers(const char *arg, demo_ctx *demo)
{
    int64_t v = 0;
    int got;

    if ((got = demo_number_option(arg, "--max-pending", 0, REP_MAX_PENDING, &v)) > 0)
        demo->timing.max_pending = (int)v;
    else if (got == 0 && (got = demo_number_option(arg, "--max-cue-lead", 1, 43200, &v)) > 0)
        demo->timing.max_cue_lead = v * 90000;
    else if (got == 0 && (got = demo_number_option(arg, "--late-join", 0, 600, &v)) > 0)
        demo->timing.late_join = v * 90000;
    else if (got == 0 && (got = demo_number_option(arg, "--max-break", 1, 86400, &v)) > 0)
        demo->max_break = v * 90000;
    else if (got == 0 && (got = demo_number_option(arg, "--spot-cache", 1, 1 << 20, &v)) > 0)
        demo->spot_cache = v << 20;
    else if (got == 0 && (got = demo_number_option(arg, "--program", 1, 0xFFFF, &v)) > 0)
        demo->program = (int)v;
    return got;
}

/* --loudness's LUFS into demo: 1, or -1 out of range. */
static int demo_loudness(const char *text, demo_ctx *demo)
{
    char *end = nullptr;
    double v = strtod(text, &end);
    if (end == text || *end || !(v >= -40 && v <= -5))
        return -1;
    demo->loudness = v;
    return 1;
}

/*
 * One option before the file names into demo: 1 taken, 0 not the demo's,
 * -1 its value refused (said on stderr).
 */
static int demo_option(const char *arg, demo_ctx *demo)
{
    for (const auto &o : demo_text_options) {
        if (strncmp(arg, o.prefix, strlen(o.prefix)) == 0) {
            demo->*o.field = arg + strlen(o.prefix);
            return 1;
        }
    }
    int got = 1;
    if (strcmp(arg, "--time-signal-breaks") == 0)
        demo->time_signal_breaks = 1;
    else if (strcmp(arg, "--open-breaks") == 0)
        demo->open_breaks = 1;
    else if (strcmp(arg, "--frame-accurate=auto") == 0 || strcmp(arg, "--frame-accurate=off") == 0)
        demo->frame_accurate_off = strcmp(arg, "--frame-accurate=off") == 0;
    else if (strncmp(arg, "--frame-accurate=", 17) == 0)
        got = -1;
    else if (strcmp(arg, "--spts") == 0)
        demo->spts = 1;
    else if (strncmp(arg, "--loudness=", 11) == 0)
        got = demo_loudness(arg + 11, demo);
    else if (strcmp(arg, "--normalize-filler") == 0)
        demo->filler_normalize = 1;
    else if (strncmp(arg, "--clock=", 8) == 0)
        got = (demo->clock_ms = demo_clock(arg + 8)) != ASRUN_NONE ? 1 : -1;
    else
        got = demo_numbers(arg, demo);
    if (got < 0)
        fprintf(stderr, "Option refused: %s\n", arg);
    return got;
}

/*
 * Reads the options, which come before the three file names in any order,
 * into demo and the names into files. False when the names are missing or
 * an option's value is refused.
 */
static bool demo_parse_args(int argc, char **argv, demo_ctx *demo, demo_files *files)
{
    int first = 1;

    demo->timing = splice_timing_default();
    demo->max_break = DEMO_MAX_BREAK_S * 90000;
    demo->spot_cache = (int64_t)DEMO_SPOT_CACHE_MB << 20;
    demo->clock_ms = ASRUN_NONE;
    demo->loudness = DEMO_LOUDNESS;
    for (; first < argc && strncmp(argv[first], "--", 2) == 0; first++) {
        int got = demo_option(argv[first], demo);
        if (got < 0)
            return false;
        if (got == 0)
            break;
    }
    if (argc - first < 3)
        return false;
    files->in = argv[first];
    files->out = argv[first + 1];
    files->replace = argv[first + 2];
    return true;
}

/* One run: the event sink's record. */
struct demo_run_ctx {
    demo_ctx demo;
    const relay_input *in;  // for the output's rate
    bool wrote;             // a packet of the input reached the output
};

static void demo_run_on_event(void *opaque, const event *ev)
{
    demo_on_event(&((demo_run_ctx *)opaque)->demo, ev);
}

/* What the demo asks of the relay loop. */
static relay_desc demo_relay_desc(demo_run_ctx *run)
{
    relay_desc desc = {};

    desc.in_depth = 8;
    desc.out_depth = 16;
    desc.cue_pid = RELAY_CUE_ANY_SCTE35;  // every cue of the spliced programme, as the service
    desc.add_epg = 0;
    desc.mux.mux_rate = DEMO_MUX_RATE;
    /* Programmes passing through must fit beside the one relayed: the output is at least the input's rate. */
    if (run->in && run->in->fmt && run->in->fmt->bit_rate > DEMO_MUX_RATE * 4 / 5)
        desc.mux.mux_rate = run->in->fmt->bit_rate * 5 / 4;
    desc.mux.max_delay = 900000;
    desc.mux.packet_size = DEMO_STAGE_SIZE;
    desc.splice.events.fn = demo_run_on_event;
    desc.splice.events.opaque = run;
    desc.splice.trace = &demo_trace;
    desc.splice.verbose = 1;
    desc.splice.time_signal_breaks = run->demo.time_signal_breaks;
    desc.splice.open_breaks = run->demo.open_breaks;
    desc.splice.max_break = run->demo.max_break;
    desc.frame_accurate = !run->demo.frame_accurate_off;
    desc.splice.planner = traffic_planner(run->demo.traffic_ctx);
    desc.mux.service_name = run->demo.service_name;
    desc.splice.timing = &run->demo.timing;
    return desc;
}

/*
 * The exit status: 1, after its line on stderr, when the output could not
 * be written (write_ret), when ret is an error other than the end of the
 * input, or when nothing of the input was written; otherwise 0.
 */
static int demo_status(const demo_run_ctx *run, const char *out_name, int ret, int write_ret)
{
    char err[ERR_TEXT_SIZE] = {0};

    if (write_ret < 0) {
        fprintf(stderr, "Could not write the output '%s': %s\n", out_name, err_to_str(err, sizeof(err), write_ret));
        return 1;
    }
    if (ret < 0 && ret != AVERROR_EOF) {
        fprintf(stderr, "Error occurred: %s\n", err_to_str(err, sizeof(err), ret));
        return 1;
    }
    if (!run->wrote) {
        fprintf(stderr, "Nothing of the input could be written to '%s': no packet of it belongs to a stream "
                "that can be relayed or passed through\n", out_name);
        return 1;
    }
    return 0;
}

/* The wall time of the input's start: --clock, or now. */
static int64_t demo_start_ms(const demo_ctx *demo)
{
    return demo->clock_ms != ASRUN_NONE ? demo->clock_ms : (int64_t)time(nullptr) * 1000;
}

/* The traffic of --schedule. 0, or -EINVAL after its line on stderr. */
static int demo_open_traffic(demo_ctx *demo)
{
    traffic_config config = {demo->schedule, demo->spots, demo->channel_id, demo->headend_id, demo->verification,
                             demo->spot_cache, &demo->clock, {demo_print_event, nullptr}};
    const char *why = schedule_config_error(demo->schedule, demo->spots, demo->channel_id, demo->headend_id);
    if (why || traffic_create(&demo->traffic_ctx, &config) < 0) {
        fprintf(stderr, "Could not use the schedule '%s': %s\n", demo->schedule, why ? why : "out of memory");
        return -EINVAL;
    }
    /* The schedule and its spots are read once the programme is known and the spots are conformed. */
    return 0;
}

/* The as-run file, the air clock and the traffic of the options. 0, or -1 after its line on stderr. */
static int demo_open_records(demo_ctx *demo)
{
    if (demo->asrun_path) {
        /*
         * One file per run, never rotated (an earlier run's file is moved aside): its lines are timed
         * by the recording, whose seconds pass faster than the wall clock's.
         */
        int ret = asrun_create(&demo->asrun, demo->asrun_path, 0);
        if (ret < 0) {
            fprintf(stderr, "Could not use the as-run file '%s': %s\n", demo->asrun_path, strerror(-ret));
            return -1;
        }
    }
    event_air_clock_init(&demo->clock, demo->clock_ms, 0);
    if (demo->schedule && demo_open_traffic(demo) < 0) {
        if (demo->asrun)
            asrun_destroy(&demo->asrun);
        return -1;
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
    char filler_path[1024];
    int ret;

    const ffmpeg_log_policy library_log = {0, 0, 0, nullptr};  // the library's own lines on standard error
    ffmpeg_log_policy_set(&library_log);
    avformat_network_init();
    if (!demo_parse_args(argc, argv, &run.demo, &files)) {
        demo_usage(argv[0]);
        return 1;
    }
    if (demo_open_records(&run.demo) < 0)
        return 1;

    /* The filler is read after conforming, which needs the input; one that cannot be read is said first. */
    if (access(files.replace, R_OK) != 0) {
        ret = AVERROR(errno);
        fprintf(stderr, "Could not open replace file '%s'\n", files.replace);
        goto out_teardown;
    }
    in.program = run.demo.program;
    in.spts = run.demo.spts;
    ret = relay_open_input(&in, files.in, nullptr, nullptr);
    if (ret < 0) {
        if (in.failed_step == RELAY_INPUT_PROBE)
            fprintf(stderr, "Failed to retrieve input stream information\n");
        else
            fprintf(stderr, "Could not open input file '%s'\n", files.in);
        goto out_teardown;
    }
    fprintf(stderr, "ifmt_ctx initialized\n");
    av_dump_format(in.fmt, 0, files.in, 0);
    /* Spots and filler in the channel's format before the run; the filler is read after. */
    demo_conform(&run.demo, &in, files.replace, filler_path, sizeof(filler_path));
    ret = filler_load(filler_path, &filler);
    if (ret < 0) {
        fprintf(stderr, "Could not open replace file '%s'\n", files.replace);
        goto out_teardown;
    }
    demo_show_filler(filler, files.replace);
    demo_check_filler(filler, &in);
    if (run.demo.traffic_ctx) {
        AVFormatContext *programme = relay_spliced_streams(&in);
        traffic_set_programme(run.demo.traffic_ctx, &programme);
        traffic_poll(run.demo.traffic_ctx, demo_start_ms(&run.demo));
    }

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
    relay_outcome outcome;
    relay_result(relay, &outcome);
    printf("ret_write=%d, ret_read=%d\n", outcome.ret_write, outcome.ret_read);
    write_ret = outcome.ret_write;
    run.wrote = relay_packets_out(relay) > 0;

out_teardown:
    if (relay) {
        /* The output's last bytes leave as it closes: a failure there is a failed write too. */
        int close_ret = relay_destroy(&relay);
        if (write_ret >= 0)
            write_ret = close_ret;
    }
    relay_close_input(&in);
    filler_destroy(&filler);
    int ver_ret = 0;
    if (run.demo.traffic_ctx) {
        /* The run's end is the latest time on the input's clock: the windows that ended by then close. A
         * verification file that could not be written (said by the traffic) fails the run. */
        ver_ret = traffic_poll(run.demo.traffic_ctx,
                               event_air_ms(&run.demo.clock, run.demo.clock.last_pts, demo_start_ms(&run.demo)));
        traffic_destroy(&run.demo.traffic_ctx);
    }
    if (run.demo.asrun)
        asrun_destroy(&run.demo.asrun);
    int status = demo_status(&run, files.out, ret, write_ret);
    return status == 0 && ver_ret < 0 ? 1 : status;
}
