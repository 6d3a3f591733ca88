/*
 * The demo's run: command line, set-up of filler, input and output, the
 * packet loop and the tear-down. main() only calls demo_run, so that other
 * callers (the fuzz harness) run exactly the same path in-process.
 */
#include <cinttypes>
#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
}

#include "demo/demo.h"
#include "pipeline/filler.h"
#include "pipeline/trace.h"

static void demo_usage(const char *name)
{
    printf("usage: %s input output replace\n"
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

/*
 * Creates one output stream per audio, video and subtitle input stream, on
 * the input's stream id (PID), and fills stream_map. Returns 0 or the
 * failing step's code after printing its message.
 */
static int demo_add_streams(AVFormatContext *in, AVFormatContext *out, int32_t *stream_map)
{
    int next = 0;

    for (unsigned i = 0; i < in->nb_streams; i++) {
        const AVStream *ist = in->streams[i];
        enum AVMediaType type = ist->codecpar->codec_type;

        if (type != AVMEDIA_TYPE_AUDIO && type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_SUBTITLE) {
            stream_map[i] = -1;
            continue;
        }
        stream_map[i] = next++;

        AVStream *ost = avformat_new_stream(out, nullptr);
        if (!ost) {
            fprintf(stderr, "Failed allocating output stream\n");
            return AVERROR_UNKNOWN;
        }
        int ret = avcodec_parameters_copy(ost->codecpar, ist->codecpar);
        if (ret < 0) {
            fprintf(stderr, "Failed to copy codec parameters\n");
            return ret;
        }
        ost->codecpar->codec_tag = 0;
        ret = av_dict_copy(&ost->metadata, ist->metadata, AV_DICT_IGNORE_SUFFIX);
        if (ret < 0) {
            fprintf(stderr, "Failed to copy codec metadatas\n");
            return ret;
        }
        fprintf(stderr, "stream[%d]->id=%d [0x%X]\n", (int)i, ist->id, (unsigned)ist->id);
        ost->id = ist->id;
    }
    return 0;
}

int demo_run(int argc, char **argv)
{
    AVFormatContext *in = nullptr;
    AVFormatContext *out = nullptr;
    AVDictionary *open_opts = nullptr;
    AVDictionary *mux_opts = nullptr;
    filler_ctx *filler = nullptr;
    int32_t *stream_map = nullptr;
    rep_ctx rep;
    demo_loop_args loop = {};
    int ret;

    avformat_network_init();
    rep_ctx_reset(&rep);
    if (argc < 4) {
        demo_usage(argv[0]);
        return 1;
    }
    const char *in_name = argv[1];
    const char *out_name = argv[2];
    const char *replace_name = argv[3];

    log_packet_set_sink(TRACE_SINK_STDERR);

    ret = filler_load(replace_name, &filler);
    if (ret < 0) {
        fprintf(stderr, "Could not open replace file '%s'", replace_name);
        goto out_teardown;
    }
    demo_show_filler(filler, replace_name);

    av_dict_set(&open_opts, "f", "mpegts", 0);
    ret = avformat_open_input(&in, in_name, nullptr, &open_opts);
    if (ret < 0) {
        fprintf(stderr, "Could not open input file '%s'", in_name);
        goto out_teardown;
    }
    fprintf(stderr, "ifmt_ctx initialized\n");

    ret = avformat_find_stream_info(in, nullptr);
    if (ret < 0) {
        fprintf(stderr, "Failed to retrieve input stream information");
        goto out_teardown;
    }
    av_dump_format(in, 0, in_name, 0);

    avformat_alloc_output_context2(&out, nullptr, "mpegts", out_name);
    if (!out) {
        fprintf(stderr, "Could not create output context\n");
        ret = AVERROR_UNKNOWN;
        goto out_teardown;
    }

    stream_map = (int32_t *)av_calloc(in->nb_streams ? in->nb_streams : 1, sizeof(*stream_map));
    if (!stream_map) {
        ret = AVERROR(ENOMEM);
        goto out_teardown;
    }
    ret = demo_add_streams(in, out, stream_map);
    if (ret < 0)
        goto out_teardown;
    av_dump_format(out, 0, out_name, 1);

    if (!(out->oformat->flags & AVFMT_NOFILE)) {
        printf("Opening [%s]...\n", out_name);
        ret = avio_open(&out->pb, out_name, AVIO_FLAG_WRITE);
        if (ret < 0) {
            fprintf(stderr, "Could not open output file '%s'", out_name);
            goto out_teardown;
        }
    }

    /* pes_payload_size 0: one PES per audio frame, so every frame keeps its own pts. */
    av_dict_set(&mux_opts, "muxrate", "20000000", 0);
    av_dict_set(&mux_opts, "max_delay", "900000", 0);
    av_dict_set(&mux_opts, "flush_packets", "0", 0);
    av_dict_set(&mux_opts, "mpegts_copyts", "1", 0);
    av_dict_set(&mux_opts, "pes_payload_size", "0", 0);
    /* Timestamps just below the 2^33 wrap demux as negative values: write them as they are. */
    av_dict_set(&mux_opts, "avoid_negative_ts", "disabled", 0);
    ret = avformat_write_header(out, &mux_opts);
    if (ret < 0) {
        fprintf(stderr, "Error occurred when opening output file\n");
        goto out_teardown;
    }

    loop.in = in;
    loop.out = out;
    loop.stream_map = stream_map;
    loop.stream_map_size = (int32_t)in->nb_streams;
    loop.filler = filler;
    loop.rep = &rep;
    demo_packets_loop(&loop);
    ret = loop.ret_read;

out_teardown:
    avformat_close_input(&in);
    if (out && !(out->oformat->flags & AVFMT_NOFILE))
        avio_closep(&out->pb);
    avformat_free_context(out);
    av_freep(&stream_map);
    av_dict_free(&open_opts);
    av_dict_free(&mux_opts);
    filler_destroy(&filler);

    if (ret < 0 && ret != AVERROR_EOF) {
        char err[ERR_TEXT_SIZE] = {0};
        fprintf(stderr, "Error occurred: %s\n", err_to_str(err, sizeof(err), ret));
        return 1;
    }
    return 0;
}
