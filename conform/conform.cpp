/*
 * Conforming one file: the target from the programme, the check of a file
 * already in the channel's format, the loudness measurement (first pass)
 * and the decode, filter, encode and multiplex (second pass).
 */
#include "conform/conform.h"

#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavfilter/version.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "common/trace.h"
#include "common/utils.h"
#include "common/video_format.h"

static std::string averr(int code)
{
    char text[ERR_TEXT_SIZE];
    return err_to_str(text, sizeof(text), code);
}

/* ---- the target ---- */

/* The stream of input with this PID, or null. */
static const AVStream *stream_by_pid(const AVFormatContext *input, int pid)
{
    for (unsigned i = 0; input && i < input->nb_streams; i++)
        if (input->streams[i]->id == pid)
            return input->streams[i];
    return nullptr;
}

static void language_of(const AVStream *st, char *out)
{
    const AVDictionaryEntry *e = st ? av_dict_get(st->metadata, "language", nullptr, 0) : nullptr;
    utils_strlcpy(out, e && strlen(e->value) == 3 ? e->value : "", 4);
}

int conform_target_from(const AVFormatContext *programme, const AVFormatContext *input, double lufs,
                        conform_target *out)
{
    if (!programme || !out)
        return -EINVAL;
    memset(out, 0, sizeof(*out));
    out->lufs = lufs;
    bool video = false;
    for (unsigned i = 0; i < programme->nb_streams; i++) {
        const AVStream *st = programme->streams[i];
        const AVCodecParameters *par = st->codecpar;
        const AVStream *in = stream_by_pid(input, st->id);
        if (par->codec_type == AVMEDIA_TYPE_VIDEO && !video) {
            conform_video *v = &out->video;
            video = true;
            v->pid = st->id;
            v->codec_id = par->codec_id;
            v->profile = par->profile;
            v->level = par->level;
            v->width = par->width;
            v->height = par->height;
            v->pix_fmt = par->format >= 0 ? par->format : AV_PIX_FMT_YUV420P;
            v->sar = par->sample_aspect_ratio.num > 0 ? par->sample_aspect_ratio : AVRational{1, 1};
            AVRational fps = in ? in->avg_frame_rate : AVRational{0, 1};
            if (fps.num <= 0 || fps.den <= 0)
                fps = in ? in->r_frame_rate : AVRational{0, 1};
            v->fps = fps.num > 0 && fps.den > 0 ? fps : AVRational{25, 1};
            v->field_order = par->field_order;
            v->bit_rate = par->bit_rate;
        } else if (par->codec_type == AVMEDIA_TYPE_AUDIO && out->audio_count < CONFORM_MAX_AUDIO) {
            conform_audio *a = &out->audio[out->audio_count++];
            a->pid = st->id;
            a->codec_id = par->codec_id;
            a->sample_rate = par->sample_rate > 0 ? par->sample_rate : 48000;
            a->channels = par->ch_layout.nb_channels > 0 ? par->ch_layout.nb_channels : 2;
            /* The demuxer estimates a rate that varies from probe to probe: the nearest 16 kbit/s, as encoders are set. */
            a->bit_rate = (par->bit_rate + 8000) / 16000 * 16000;
            language_of(in ? in : st, a->language);
        }
    }
    return video && out->video.width > 0 && out->video.height > 0 ? 0 : -EINVAL;
}

void conform_target_text(const conform_target *t, char *buf, size_t size)
{
    const conform_video *v = &t->video;
    int n = snprintf(buf, size, "%s %dx%d %.3g fps%s", avcodec_get_name((AVCodecID)v->codec_id), v->width,
                     v->height, av_q2d(v->fps),
                     v->field_order == AV_FIELD_TT ? " tff" : v->field_order == AV_FIELD_BB ? " bff" : "");
    for (int i = 0; i < t->audio_count && n >= 0 && (size_t)n < size; i++)
        n += snprintf(buf + n, size - (size_t)n, ", %s %d Hz %d ch%s%s", avcodec_get_name((AVCodecID)t->audio[i].codec_id),
                      t->audio[i].sample_rate, t->audio[i].channels, t->audio[i].language[0] ? " " : "",
                      t->audio[i].language);
    if (n >= 0 && (size_t)n < size)
        n += snprintf(buf + n, size - (size_t)n, ", %.1f LUFS", t->lufs);
    if (t->length > 0 && n >= 0 && (size_t)n < size)
        snprintf(buf + n, size - (size_t)n, ", %.3f s", t->length);
}

double conform_gain(double integrated, double peak, double lufs)
{
    if (!(integrated > CONFORM_SILENT + 0.5))
        return 0;
    double gain = lufs - integrated;
    if (std::isfinite(peak) && peak + gain > CONFORM_TRUE_PEAK)
        gain = CONFORM_TRUE_PEAK - peak;
    return gain;
}

const char *conform_status_name(int status)
{
    switch (status) {
    case CONFORM_CONFORMED: return "conformed";
    case CONFORM_CHECKED: return "checked";
    case CONFORM_FAILED: return "failed";
    case CONFORM_REMUXED: return "remuxed";
    default: return "none";
    }
}

/* ---- one pass over the source ---- */

namespace {

double cpu_now()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* What the first pass finds of the source's video packets. */
struct pictures {
    int64_t count = 0;
    int64_t first = AV_NOPTS_VALUE;      // the earliest pts, the video stream's time base
    int64_t end = AV_NOPTS_VALUE;        // the latest pts plus its duration
    int64_t bytes = 0;
    bool first_key = false;              // the first picture read is a key frame
    bool untimed = false;                // some picture has no pts
};

/* An opened source with its decoders. */
struct source {
    AVFormatContext *fmt = nullptr;
    int video = -1;                      // stream index
    std::vector<int> audio;              // stream indexes, in order
    std::vector<AVCodecContext *> dec;   // by stream index; null when not decoded
    int64_t start = 0;                   // AV_TIME_BASE: where the output's time 0 lies
    double seconds = 0;                  // its video's length
    pictures pics;                       // its video packets, from the first pass

    ~source()
    {
        for (AVCodecContext *c : dec)
            avcodec_free_context(&c);
        avformat_close_input(&fmt);
    }
};

struct stop_ctx {
    const std::atomic<int> *stop;
};

int interrupted(void *opaque)
{
    const stop_ctx *s = (const stop_ctx *)opaque;
    return s->stop && s->stop->load();
}

/* Opens src, its video decoder and those of its audio streams. 0, or why in res with a code. */
int source_open(source *s, const char *src, stop_ctx *stop, conform_result *res)
{
    s->fmt = avformat_alloc_context();
    if (!s->fmt)
        return AVERROR(ENOMEM);
    s->fmt->interrupt_callback.callback = interrupted;
    s->fmt->interrupt_callback.opaque = stop;
    int ret = avformat_open_input(&s->fmt, src, nullptr, nullptr);
    if (ret < 0) {
        snprintf(res->why, sizeof(res->why), "unreadable: %s", averr(ret).c_str());
        return ret;
    }
    ret = avformat_find_stream_info(s->fmt, nullptr);
    if (ret < 0) {
        snprintf(res->why, sizeof(res->why), "unreadable: %s", averr(ret).c_str());
        return ret;
    }
    s->dec.assign(s->fmt->nb_streams, nullptr);
    for (unsigned i = 0; i < s->fmt->nb_streams; i++) {
        AVStream *st = s->fmt->streams[i];
        enum AVMediaType type = st->codecpar->codec_type;
        if ((type == AVMEDIA_TYPE_VIDEO && s->video >= 0) || (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) ||
            (st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            continue;
        const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
        AVCodecContext *c = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (!c || avcodec_parameters_to_context(c, st->codecpar) < 0 || avcodec_open2(c, codec, nullptr) < 0) {
            avcodec_free_context(&c);
            continue;  // a stream nothing here decodes is left out
        }
        c->pkt_timebase = st->time_base;
        s->dec[i] = c;
        if (type == AVMEDIA_TYPE_VIDEO)
            s->video = (int)i;
        else
            s->audio.push_back((int)i);
    }
    if (s->video < 0) {
        snprintf(res->why, sizeof(res->why), "no video that can be decoded");
        return AVERROR_STREAM_NOT_FOUND;
    }
    const AVStream *v = s->fmt->streams[s->video];
    s->start = v->start_time != AV_NOPTS_VALUE ? av_rescale_q(v->start_time, v->time_base, AV_TIME_BASE_Q)
                                               : (s->fmt->start_time != AV_NOPTS_VALUE ? s->fmt->start_time : 0);
    if (v->duration > 0)
        s->seconds = v->duration * av_q2d(v->time_base);
    else if (s->fmt->duration > 0)
        s->seconds = s->fmt->duration / (double)AV_TIME_BASE;
    return 0;
}

/*
 * The source stream each programme audio stream takes: the spot's stream
 * of its language where both are tagged, else the one in its place, else
 * the first; -1: silence.
 */
std::vector<int> map_audio(const source *s, const conform_target *t)
{
    std::vector<int> map;
    for (int i = 0; i < t->audio_count; i++) {
        int found = -1;
        for (int idx : s->audio) {
            char lang[4];
            language_of(s->fmt->streams[idx], lang);
            if (t->audio[i].language[0] && strcmp(lang, t->audio[i].language) == 0) {
                found = idx;
                break;
            }
        }
        if (found < 0 && !s->audio.empty())
            found = (size_t)i < s->audio.size() ? s->audio[(size_t)i] : s->audio[0];
        map.push_back(found);
    }
    return map;
}

/*
 * The filter library's functions used here. The library is loaded at the
 * first graph, not with the program: loading it (and the many libraries
 * it depends on) costs a run that conforms nothing more CPU than its
 * whole splicing logic.
 */
struct filter_api {
    decltype(&avfilter_graph_alloc) graph_alloc;
    decltype(&avfilter_graph_free) graph_free;
    decltype(&avfilter_graph_create_filter) graph_create_filter;
    decltype(&avfilter_graph_parse_ptr) graph_parse_ptr;
    decltype(&avfilter_graph_config) graph_config;
    decltype(&avfilter_get_by_name) get_by_name;
    decltype(&avfilter_inout_alloc) inout_alloc;
    decltype(&avfilter_inout_free) inout_free;
    decltype(&av_buffersrc_write_frame) buffersrc_write_frame;
    decltype(&av_buffersrc_close) buffersrc_close;
    decltype(&av_buffersink_get_frame) buffersink_get_frame;
    decltype(&av_buffersink_get_time_base) buffersink_get_time_base;
    decltype(&av_buffersink_set_frame_size) buffersink_set_frame_size;
};

template <typename F> bool filter_sym(void *lib, const char *name, F *fn)
{
    *fn = (F)dlsym(lib, name);
    return *fn != nullptr;
}

/* Loads the filter library once (every thread sees the same outcome); null when it cannot be. */
const filter_api *filter_lib()
{
    static const filter_api *api = []() -> const filter_api * {
        static filter_api f;
        void *lib = dlopen("libavfilter.so." AV_STRINGIFY(LIBAVFILTER_VERSION_MAJOR), RTLD_NOW | RTLD_LOCAL);
        if (!lib)
            return nullptr;
        bool ok = filter_sym(lib, "avfilter_graph_alloc", &f.graph_alloc) &&
                  filter_sym(lib, "avfilter_graph_free", &f.graph_free) &&
                  filter_sym(lib, "avfilter_graph_create_filter", &f.graph_create_filter) &&
                  filter_sym(lib, "avfilter_graph_parse_ptr", &f.graph_parse_ptr) &&
                  filter_sym(lib, "avfilter_graph_config", &f.graph_config) &&
                  filter_sym(lib, "avfilter_get_by_name", &f.get_by_name) &&
                  filter_sym(lib, "avfilter_inout_alloc", &f.inout_alloc) &&
                  filter_sym(lib, "avfilter_inout_free", &f.inout_free) &&
                  filter_sym(lib, "av_buffersrc_write_frame", &f.buffersrc_write_frame) &&
                  filter_sym(lib, "av_buffersrc_close", &f.buffersrc_close) &&
                  filter_sym(lib, "av_buffersink_get_frame", &f.buffersink_get_frame) &&
                  filter_sym(lib, "av_buffersink_get_time_base", &f.buffersink_get_time_base) &&
                  filter_sym(lib, "av_buffersink_set_frame_size", &f.buffersink_set_frame_size);
        if (!ok) {
            dlclose(lib);
            return nullptr;
        }
        return &f;  // the library stays loaded for the process
    }();
    return api;
}

/* A graph from one buffer source (src_args, or none) through desc to one buffer sink. */
struct graph {
    AVFilterGraph *g = nullptr;
    AVFilterContext *in = nullptr, *out = nullptr;
    ~graph()
    {
        if (g)  // made by graph_build: the library is loaded
            filter_lib()->graph_free(&g);
    }
};

/* 0; AVERROR(ELIBACC) when the filter library cannot be loaded; an FFmpeg code. */
int graph_build(graph *gr, bool video, const char *src_args, const char *desc)
{
    const filter_api *f = filter_lib();
    if (!f)
        return AVERROR(ELIBACC);
    gr->g = f->graph_alloc();
    if (!gr->g)
        return AVERROR(ENOMEM);
    gr->g->nb_threads = 1;
    int ret = f->graph_create_filter(&gr->out, f->get_by_name(video ? "buffersink" : "abuffersink"),
                                           "out", nullptr, nullptr, gr->g);
    if (ret < 0)
        return ret;
    AVFilterInOut *outputs = nullptr, *inputs = f->inout_alloc();
    if (!inputs)
        return AVERROR(ENOMEM);
    inputs->name = av_strdup("out");
    inputs->filter_ctx = gr->out;
    if (src_args) {
        ret = f->graph_create_filter(&gr->in, f->get_by_name(video ? "buffer" : "abuffer"), "in",
                                           src_args, nullptr, gr->g);
        if (ret < 0 || !(outputs = f->inout_alloc())) {
            f->inout_free(&inputs);
            return ret < 0 ? ret : AVERROR(ENOMEM);
        }
        outputs->name = av_strdup("in");
        outputs->filter_ctx = gr->in;
    }
    ret = f->graph_parse_ptr(gr->g, desc, &inputs, &outputs, nullptr);
    f->inout_free(&inputs);
    f->inout_free(&outputs);
    return ret < 0 ? ret : f->graph_config(gr->g, nullptr);
}

/* The abuffer arguments of a decoded audio stream. */
std::string abuffer_args(const AVCodecContext *dec, AVRational tb)
{
    char layout[64] = "";
    AVChannelLayout ch;
    if (dec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
        av_channel_layout_default(&ch, dec->ch_layout.nb_channels);
    else
        av_channel_layout_copy(&ch, &dec->ch_layout);
    av_channel_layout_describe(&ch, layout, sizeof(layout));
    av_channel_layout_uninit(&ch);
    char args[256];
    snprintf(args, sizeof(args), "time_base=%d/%d:sample_rate=%d:sample_fmt=%s:channel_layout=%s", tb.num, tb.den,
             dec->sample_rate, av_get_sample_fmt_name(dec->sample_fmt), layout);
    return args;
}

std::string layout_name(int channels)
{
    AVChannelLayout ch;
    char name[64] = "";
    av_channel_layout_default(&ch, channels);
    av_channel_layout_describe(&ch, name, sizeof(name));
    av_channel_layout_uninit(&ch);
    return name;
}

/* One audio stream's loudness as ebur128 states it on the frames it passes. */
struct loudness {
    double integrated = CONFORM_SILENT;
    double peak = -INFINITY;  // dBTP
    bool any = false;
};

void loudness_take(loudness *l, const AVFrame *f)
{
    const AVDictionaryEntry *e = nullptr;
    while ((e = av_dict_get(f->metadata, "lavfi.r128.", e, AV_DICT_IGNORE_SUFFIX))) {
        if (strcmp(e->key, "lavfi.r128.I") == 0) {
            l->integrated = strtod(e->value, nullptr);
            l->any = true;
        } else if (strncmp(e->key, "lavfi.r128.true_peaks_ch", 24) == 0) {
            double p = 20 * log10(std::max(strtod(e->value, nullptr), 1e-10));  // stated linear
            if (p > l->peak)
                l->peak = p;
        }
    }
}

/* Decoded frames of stream idx of pkt (null: drain) into fn(frame). */
template <typename F> int decode(AVCodecContext *dec, const AVPacket *pkt, AVFrame *frame, F fn)
{
    int ret = avcodec_send_packet(dec, pkt);
    if (ret < 0 && ret != AVERROR(EAGAIN) && ret != AVERROR_EOF)
        return ret == AVERROR_INVALIDDATA ? 0 : ret;  // a damaged packet: its frames are lost, the rest go on
    while ((ret = avcodec_receive_frame(dec, frame)) >= 0) {
        int r = fn(frame);
        av_frame_unref(frame);
        if (r < 0)
            return r;
    }
    return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
}

/* Pulls every frame the sink has into fn. */
template <typename F> int pull(graph *gr, AVFrame *frame, F fn)
{
    int ret;
    while ((ret = filter_lib()->buffersink_get_frame(gr->out, frame)) >= 0) {
        int r = fn(frame);
        av_frame_unref(frame);
        if (r < 0)
            return r;
    }
    return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
}

/* Frame pts of stream st moved so that the source's start is 0, in st's time base. */
int64_t from_start(const source *s, const AVStream *st, int64_t pts)
{
    return pts == AV_NOPTS_VALUE ? pts : pts - av_rescale_q(s->start, AV_TIME_BASE_Q, st->time_base);
}

void report_progress(const conform_options *opt, const source *s, const AVPacket *pkt, double base, double share)
{
    if (!opt || !opt->progress || s->seconds <= 0 || pkt->pts == AV_NOPTS_VALUE)
        return;
    const AVStream *st = s->fmt->streams[pkt->stream_index];
    double done = (pkt->pts * av_q2d(st->time_base) - s->start / (double)AV_TIME_BASE) / s->seconds;
    opt->progress(opt->opaque, base + share * std::min(1.0, std::max(0.0, done)));
}

/* One picture's ticks of stream st (its frame rate's; 1/25 s when it states none). */
int64_t frame_ticks(const AVStream *st)
{
    AVRational fps = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (fps.num <= 0 || fps.den <= 0)
        fps = AVRational{25, 1};
    return std::max<int64_t>(1, av_rescale_q(1, av_inv_q(fps), st->time_base));
}

/* A video packet of the first pass into s->pics. */
void count_picture(source *s, const AVPacket *pkt)
{
    const AVStream *st = s->fmt->streams[s->video];
    pictures *p = &s->pics;
    if (p->count++ == 0)
        p->first_key = pkt->flags & AV_PKT_FLAG_KEY;
    p->bytes += pkt->size;
    if (pkt->pts == AV_NOPTS_VALUE) {
        p->untimed = true;
        return;
    }
    int64_t end = pkt->pts + (pkt->duration > 0 ? pkt->duration : frame_ticks(st));
    p->first = p->first == AV_NOPTS_VALUE ? pkt->pts : std::min(p->first, pkt->pts);
    p->end = p->end == AV_NOPTS_VALUE ? end : std::max(p->end, end);
}

/*
 * First pass: each programme audio stream's loudness from its source
 * stream as it will be laid out (rate and channels), silence where none;
 * the source's video packets counted and timed (s->pics).
 */
int measure(source *s, const conform_target *t, const std::vector<int> &map, loudness *out,
            const conform_options *opt, double share)
{
    std::vector<graph> graphs((size_t)t->audio_count);
    for (int i = 0; i < t->audio_count; i++) {
        if (map[(size_t)i] < 0)
            continue;
        const AVStream *st = s->fmt->streams[map[(size_t)i]];
        char desc[256];
        snprintf(desc, sizeof(desc), "aresample=%d,aformat=channel_layouts=%s,ebur128=metadata=1:peak=true",
                 t->audio[i].sample_rate, layout_name(t->audio[i].channels).c_str());
        int ret = graph_build(&graphs[(size_t)i], false, abuffer_args(s->dec[map[(size_t)i]], st->time_base).c_str(),
                              desc);
        if (ret < 0)
            return ret;
    }
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc(), *got = av_frame_alloc();
    int ret = pkt && frame && got ? 0 : AVERROR(ENOMEM);
    auto feed = [&](int idx, const AVPacket *p) {
        return decode(s->dec[idx], p, frame, [&](AVFrame *f) {
            for (int i = 0; i < t->audio_count; i++) {
                if (map[(size_t)i] != idx)
                    continue;
                int r = filter_lib()->buffersrc_write_frame(graphs[(size_t)i].in, f);
                if (r < 0 || (r = pull(&graphs[(size_t)i], got, [&](AVFrame *o) { loudness_take(&out[i], o); return 0; })) < 0)
                    return r;
            }
            return 0;
        });
    };
    while (ret >= 0 && (ret = av_read_frame(s->fmt, pkt)) >= 0) {
        int idx = pkt->stream_index;
        bool used = false;
        for (int m : map)
            used |= m == idx;
        if (idx == s->video)
            count_picture(s, pkt);
        if (used)
            ret = feed(idx, pkt);
        report_progress(opt, s, pkt, 0, share);
        av_packet_unref(pkt);
    }
    if (ret == AVERROR_EOF)
        ret = 0;
    for (int idx : s->audio) {
        bool used = false;
        for (int m : map)
            used |= m == idx;
        if (ret >= 0 && used)
            ret = feed(idx, nullptr);
    }
    for (int i = 0; ret >= 0 && i < t->audio_count; i++) {
        if (map[(size_t)i] < 0)
            continue;
        ret = filter_lib()->buffersrc_write_frame(graphs[(size_t)i].in, nullptr);
        if (ret >= 0)
            ret = pull(&graphs[(size_t)i], got, [&](AVFrame *o) { loudness_take(&out[i], o); return 0; });
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    av_frame_free(&got);
    return ret;
}

/* The gain in dB that brings l to lufs, lowered where the true peak would pass the limit. */
double gain_for(const loudness &l, double lufs)
{
    return l.any ? conform_gain(l.integrated, l.peak, lufs) : 0;
}

/* ---- the check of a file already in the channel's format ---- */

int64_t video_bit_rate(const conform_video *v);

bool interlaced(int field_order)
{
    return field_order == AV_FIELD_TT || field_order == AV_FIELD_BB || field_order == AV_FIELD_TB ||
           field_order == AV_FIELD_BT;
}

const char *field_text(int field_order)
{
    return !interlaced(field_order) ? "progressive"
           : field_order == AV_FIELD_BB || field_order == AV_FIELD_BT ? "bottom field first" : "top field first";
}

/* A profile's name, or its number when the library names none. */
std::string profile_text(AVCodecID codec, int profile)
{
    const char *name = avcodec_profile_name(codec, profile);
    return name ? name : std::to_string(profile);
}

/* The pictures a copy of s lasts: t's length at t's rate, or s's own when it is shorter than that by more than the tolerance. */
int64_t copy_pictures(const source *s, const conform_target *t)
{
    double want = t->length > 0 && s->seconds >= t->length - CONFORM_LENGTH_TOLERANCE ? t->length : s->seconds;
    return std::max<int64_t>(1, llrint(want * av_q2d(t->video.fps)));
}

/*
 * Why the pictures of s (first pass done) cannot be kept as they are in a
 * copy of n pictures of t's format, or "" when they can: another codec,
 * size, rate, field order, pixel format, sample aspect, profile or a higher
 * level; another number of pictures (the copy holds or leaves out some), a
 * gap, no key frame first; or, in another container than MPEG-TS, more bits
 * per second than the channel gives its pictures (1.5 times the programme's
 * stated rate, else three times what the channel's encoder would, 2 Mbit/s
 * at least). A transport stream in the channel's format airs as delivered,
 * as the filler does, whatever its rate (the mux rate must carry it).
 */
std::string video_difference(const source *s, const conform_target *t, int64_t n)
{
    const AVStream *v = s->fmt->streams[s->video];
    const AVCodecParameters *p = v->codecpar;
    const conform_video *c = &t->video;
    char why[160] = "";
    AVRational fps = v->avg_frame_rate.num > 0 && v->avg_frame_rate.den > 0 ? v->avg_frame_rate : v->r_frame_rate;
    AVRational sar = p->sample_aspect_ratio.num > 0 ? p->sample_aspect_ratio
                     : v->sample_aspect_ratio.num > 0 ? v->sample_aspect_ratio : AVRational{1, 1};
    int64_t frame = frame_ticks(v);
    double rate = s->seconds > 0 ? s->pics.bytes * 8 / s->seconds : 0;
    double most = c->bit_rate > 0 ? 1.5 * (double)c->bit_rate : std::max(2e6, 3.0 * (double)video_bit_rate(c));
    if (p->codec_id != c->codec_id)
        snprintf(why, sizeof(why), "codec %s, the channel's %s", avcodec_get_name(p->codec_id),
                 avcodec_get_name((AVCodecID)c->codec_id));
    else if (p->width != c->width || p->height != c->height)
        snprintf(why, sizeof(why), "size %dx%d, the channel's %dx%d", p->width, p->height, c->width, c->height);
    else if (fps.num <= 0 || fps.den <= 0 || av_cmp_q(fps, c->fps) != 0)
        snprintf(why, sizeof(why), "%.5g fps, the channel's %.5g", av_q2d(fps), av_q2d(c->fps));
    else if (interlaced(p->field_order) != interlaced(c->field_order) ||
             (interlaced(c->field_order) && p->field_order != c->field_order))
        snprintf(why, sizeof(why), "%s, the channel's %s", field_text(p->field_order), field_text(c->field_order));
    else if (p->format != c->pix_fmt)
        snprintf(why, sizeof(why), "pixel format %s, the channel's %s", av_get_pix_fmt_name((AVPixelFormat)p->format),
                 av_get_pix_fmt_name((AVPixelFormat)c->pix_fmt));
    else if (av_cmp_q(sar, c->sar) != 0)
        snprintf(why, sizeof(why), "sample aspect %d:%d, the channel's %d:%d", sar.num, sar.den, c->sar.num, c->sar.den);
    else if (c->profile >= 0 && p->profile != c->profile)
        snprintf(why, sizeof(why), "profile %s, the channel's %s", profile_text(p->codec_id, p->profile).c_str(),
                 profile_text(p->codec_id, c->profile).c_str());
    else if (c->level > 0 && p->level > c->level)
        snprintf(why, sizeof(why), "level %d, the channel's %d", p->level, c->level);
    else if (!s->pics.first_key)
        snprintf(why, sizeof(why), "its first picture is no key frame");
    else if (s->pics.untimed || s->pics.count != n || llabs(s->pics.end - s->pics.first - n * frame) > frame / 2)
        snprintf(why, sizeof(why), "%" PRId64 " pictures over %.3f s, the copy's %" PRId64, s->pics.count, s->seconds, n);
    else if (rate > most && strcmp(s->fmt->iformat->name, "mpegts") != 0)
        snprintf(why, sizeof(why), "%.1f Mbit/s, at most %.1f in the channel", rate / 1e6, most / 1e6);
    return why;
}

/* Why the whole file s is not in t's format (its pictures aside), or "" when it is (loudness aside). */
std::string file_difference(const source *s, const conform_target *t)
{
    if (strcmp(s->fmt->iformat->name, "mpegts") != 0)
        return "not MPEG-TS";
    if (s->fmt->streams[s->video]->id != t->video.pid)
        return "video PID";
    int audio = 0;
    for (unsigned i = 0; i < s->fmt->nb_streams; i++)
        audio += s->fmt->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    if (audio != t->audio_count)
        return "audio streams";
    for (int i = 0; i < t->audio_count; i++) {
        const AVStream *a = stream_by_pid(s->fmt, t->audio[i].pid);
        if (!a || a->codecpar->codec_id != t->audio[i].codec_id || a->codecpar->sample_rate != t->audio[i].sample_rate ||
            a->codecpar->ch_layout.nb_channels != t->audio[i].channels)
            return "audio stream";
    }
    return "";
}

/* ---- second pass: the output ---- */

struct out_stream {
    AVCodecContext *enc = nullptr;  // null: the source's packets copied (video only)
    AVStream *st = nullptr;
    graph gr;
    int source = -1;        // source stream index; -1: silence (video: the source's video)
    int64_t written = 0;    // packets written
    loudness after;
    ~out_stream() { avcodec_free_context(&enc); }
};

/* Sends frame (null: drain) to o's encoder and writes what comes out. */
int encode(AVFormatContext *mux, out_stream *o, AVFrame *frame, AVPacket *pkt)
{
    int ret = avcodec_send_frame(o->enc, frame);
    if (ret < 0 && ret != AVERROR_EOF)
        return ret;
    while ((ret = avcodec_receive_packet(o->enc, pkt)) >= 0) {
        pkt->stream_index = o->st->index;
        av_packet_rescale_ts(pkt, o->enc->time_base, o->st->time_base);
        o->written++;
        ret = av_interleaved_write_frame(mux, pkt);
        if (ret < 0)
            return ret;
    }
    return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
}

/* Pulls the filtered frames of o into its encoder; at the end (drain) the encoder is drained too. */
int filter_out(AVFormatContext *mux, out_stream *o, AVFrame *got, AVPacket *pkt, bool video)
{
    AVRational tb = filter_lib()->buffersink_get_time_base(o->gr.out);
    return pull(&o->gr, got, [&](AVFrame *f) {
        if (!video)
            loudness_take(&o->after, f);
        if (f->pts != AV_NOPTS_VALUE)
            f->pts = av_rescale_q(f->pts, tb, o->enc->time_base);
        f->pict_type = AV_PICTURE_TYPE_NONE;
        return encode(mux, o, f, pkt);
    });
}

int64_t video_bit_rate(const conform_video *v)
{
    if (v->bit_rate > 0)
        return v->bit_rate;
    /* The programme's multiplex does not say: about 0.12 bit per pixel, as broadcasters give H.264 SD and HD. */
    double bpp = v->codec_id == AV_CODEC_ID_MPEG2VIDEO ? 0.25 : v->codec_id == AV_CODEC_ID_HEVC ? 0.08 : 0.12;
    return (int64_t)(v->width * (double)v->height * av_q2d(v->fps) * bpp);
}

int open_video_encoder(out_stream *o, const conform_target *t, int threads)
{
    const conform_video *v = &t->video;
    const AVCodec *codec = avcodec_find_encoder((AVCodecID)v->codec_id);
    if (!codec)
        return AVERROR_ENCODER_NOT_FOUND;
    AVCodecContext *c = o->enc = avcodec_alloc_context3(codec);
    if (!c)
        return AVERROR(ENOMEM);
    AVDictionary *o_opts = nullptr;
    const video_format format = {v->width, v->height, v->pix_fmt, v->sar, v->fps, v->field_order, v->level};
    video_format_setup(c, &format, &o_opts);
    c->bit_rate = video_bit_rate(v);
    c->rc_max_rate = c->bit_rate;
    c->rc_buffer_size = (int)std::min<int64_t>(INT32_MAX, c->bit_rate);
    c->gop_size = std::max(1, (int)lrint(av_q2d(v->fps)));
    c->max_b_frames = 2;
    c->thread_count = threads;
    if (v->profile >= 0)
        c->profile = v->profile;
    if (v->codec_id == AV_CODEC_ID_H264 || v->codec_id == AV_CODEC_ID_HEVC) {
        av_dict_set(&o_opts, "preset", "faster", 0);
        if (v->codec_id == AV_CODEC_ID_HEVC) {
            av_dict_set(&o_opts, "x265-params", "log-level=error:open-gop=0:pools=1", 0);
            const char *profile = avcodec_profile_name((AVCodecID)v->codec_id, v->profile);
            if (profile)
                av_dict_set(&o_opts, "profile", profile[0] == 'M' ? "main" : profile, 0);
        }
    }
    int ret = avcodec_open2(c, codec, &o_opts);
    av_dict_free(&o_opts);
    return ret;
}

int open_audio_encoder(out_stream *o, const conform_audio *a)
{
    const AVCodec *codec = avcodec_find_encoder((AVCodecID)a->codec_id);
    if (!codec)
        return AVERROR_ENCODER_NOT_FOUND;
    AVCodecContext *c = o->enc = avcodec_alloc_context3(codec);
    if (!c)
        return AVERROR(ENOMEM);
    c->sample_rate = a->sample_rate;
    av_channel_layout_default(&c->ch_layout, a->channels);
    c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    c->bit_rate = a->bit_rate > 0 ? a->bit_rate : (a->channels > 1 ? 192000 : 128000);
    c->time_base = AVRational{1, a->sample_rate};
    return avcodec_open2(c, codec, nullptr);
}

/*
 * The video filters: scale to the display aspect kept, pad, sample aspect,
 * rate from time 0 (the first picture held back to it), n pictures at most
 * (the graph's end, given at n pictures, holds the last one up to there),
 * field order, pixel format.
 */
std::string video_filters(const AVCodecContext *dec, const AVStream *st, const conform_video *v, int64_t n)
{
    AVRational ssar = dec->sample_aspect_ratio.num > 0 ? dec->sample_aspect_ratio
                                                       : st->sample_aspect_ratio.num > 0 ? st->sample_aspect_ratio
                                                                                          : AVRational{1, 1};
    double src_dar = dec->width * av_q2d(ssar) / dec->height;
    double dst_dar = v->width * av_q2d(v->sar) / v->height;
    int w = v->width, h = v->height;
    if (src_dar > dst_dar + 1e-6)
        h = (int)lrint(v->width * av_q2d(v->sar) / src_dar);
    else if (src_dar < dst_dar - 1e-6)
        w = (int)lrint(v->height * src_dar / av_q2d(v->sar));
    w = std::min(v->width, std::max(2, w & ~1));
    h = std::min(v->height, std::max(2, h & ~1));
    bool interlaced = v->field_order == AV_FIELD_TT || v->field_order == AV_FIELD_BB;
    char desc[512];
    snprintf(desc, sizeof(desc),
             "scale=%d:%d,pad=%d:%d:(ow-iw)/2:(oh-ih)/2,setsar=%d/%d,fps=%d/%d:start_time=0,trim=end_frame=%" PRId64
             ",%sformat=%s", w, h, v->width, v->height, v->sar.num, v->sar.den, v->fps.num, v->fps.den, n,
             interlaced ? (v->field_order == AV_FIELD_TT ? "setfield=tff," : "setfield=bff,") : "",
             av_get_pix_fmt_name((AVPixelFormat)v->pix_fmt));
    return desc;
}

/*
 * The video output: the channel's encoder behind a graph that scales, pads
 * and paces the source's pictures into n; keep: none, the source's
 * pictures are copied.
 */
int open_video_out(out_stream *o, const source *s, const conform_target *t, int64_t n, bool keep, conform_result *res)
{
    const AVStream *vin = s->fmt->streams[s->video];
    o->source = s->video;
    if (keep)
        return 0;
    int ret = open_video_encoder(o, t, 1);
    if (ret < 0) {
        snprintf(res->why, sizeof(res->why), "no %s encoder: %s", avcodec_get_name((AVCodecID)t->video.codec_id),
                 averr(ret).c_str());
        return ret;
    }
    const AVCodecContext *dec = s->dec[s->video];
    AVRational sar = dec->sample_aspect_ratio.num > 0 ? dec->sample_aspect_ratio : AVRational{0, 1};
    char args[256];
    snprintf(args, sizeof(args), "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", dec->width,
             dec->height, dec->pix_fmt, vin->time_base.num, vin->time_base.den, sar.num, sar.num ? sar.den : 1);
    return graph_build(&o->gr, true, args, video_filters(dec, vin, &t->video, n).c_str());
}

/* An audio output: from its source stream at gain dB, or silence, seconds long to the sample. */
int open_audio_out(out_stream *o, const source *s, const conform_audio *a, int source, double gain, double seconds,
                   conform_result *res)
{
    char desc[512];
    o->source = source;
    int ret = open_audio_encoder(o, a);
    if (ret < 0) {
        snprintf(res->why, sizeof(res->why), "no %s encoder: %s", avcodec_get_name((AVCodecID)a->codec_id),
                 averr(ret).c_str());
        return ret;
    }
    std::string layout = layout_name(a->channels);
    int64_t samples = llrint(seconds * a->sample_rate);
    if (o->source >= 0) {
        snprintf(desc, sizeof(desc),
                 "aresample=%d:async=1:first_pts=0,aformat=sample_rates=%d:channel_layouts=%s,volume=%.2fdB,"
                 "ebur128=metadata=1:peak=true,apad=whole_len=%" PRId64 ",atrim=end_sample=%" PRId64
                 ",aformat=sample_fmts=%s",
                 a->sample_rate, a->sample_rate, layout.c_str(), gain, samples, samples,
                 av_get_sample_fmt_name(o->enc->sample_fmt));
        const AVStream *st = s->fmt->streams[o->source];
        ret = graph_build(&o->gr, false, abuffer_args(s->dec[o->source], st->time_base).c_str(), desc);
    } else {
        snprintf(desc, sizeof(desc), "anullsrc=r=%d:cl=%s,atrim=end_sample=%" PRId64 ",aformat=sample_fmts=%s",
                 a->sample_rate, layout.c_str(), samples, av_get_sample_fmt_name(o->enc->sample_fmt));
        ret = graph_build(&o->gr, false, nullptr, desc);
    }
    if (ret >= 0 && o->enc->frame_size > 0)
        filter_lib()->buffersink_set_frame_size(o->gr.out, o->enc->frame_size);
    return ret;
}

/*
 * The outputs' encoders and graphs (video first, then the target's audio
 * in order) and their streams in mux: n pictures (keep: the source's
 * copied) and as long sound.
 */
int open_outputs(std::vector<out_stream> &outs, AVFormatContext *mux, const source *s, const conform_target *t,
                 const std::vector<int> &map, const double *gain, int64_t n, bool keep, conform_result *res)
{
    double seconds = n * av_q2d(av_inv_q(t->video.fps));
    int ret = open_video_out(&outs[0], s, t, n, keep, res);
    for (int i = 0; ret >= 0 && i < t->audio_count; i++)
        ret = open_audio_out(&outs[(size_t)i + 1], s, &t->audio[i], map[(size_t)i], gain[i], seconds, res);
    for (size_t i = 0; ret >= 0 && i < outs.size(); i++) {
        out_stream *o = &outs[i];
        if (!(o->st = avformat_new_stream(mux, nullptr)))
            return AVERROR(ENOMEM);
        o->st->id = i == 0 ? t->video.pid : t->audio[i - 1].pid;
        o->st->time_base = AVRational{1, 90000};
        if (!o->enc) {
            ret = avcodec_parameters_copy(o->st->codecpar, s->fmt->streams[s->video]->codecpar);
            o->st->codecpar->codec_tag = 0;
            continue;
        }
        ret = avcodec_parameters_from_context(o->st->codecpar, o->enc);
        if (ret >= 0 && i > 0 && t->audio[i - 1].language[0])
            av_dict_set(&o->st->metadata, "language", t->audio[i - 1].language, 0);
    }
    return ret;
}

/*
 * Decodes pkt (null: drains) of source stream idx and hands each frame to
 * every output from outs[from] on that takes that stream.
 */
int feed_outputs(const source *s, int idx, const AVPacket *pkt, std::vector<out_stream> &outs, size_t from,
                 AVFormatContext *mux, AVFrame *frame, AVFrame *got, AVPacket *out_pkt)
{
    const AVStream *st = s->fmt->streams[idx];
    return decode(s->dec[idx], pkt, frame, [&](AVFrame *f) {
        f->pts = from_start(s, st, f->best_effort_timestamp);
        for (size_t k = from; k < outs.size(); k++) {
            if (outs[k].source != idx)
                continue;
            int r = filter_lib()->buffersrc_write_frame(outs[k].gr.in, f);
            if (r == AVERROR_EOF)
                continue;  // past the copy's end: left out
            if (r < 0 || (r = filter_out(mux, &outs[k], got, out_pkt, k == 0)) < 0)
                return r;
        }
        return 0;
    });
}

/* A video packet of the source copied into o, moved so that the source's start is 0. */
int copy_picture(AVFormatContext *mux, const source *s, out_stream *o, AVPacket *pkt)
{
    const AVStream *st = s->fmt->streams[s->video];
    int64_t start = av_rescale_q(s->start, AV_TIME_BASE_Q, st->time_base);
    if (pkt->pts != AV_NOPTS_VALUE)
        pkt->pts -= start;
    if (pkt->dts != AV_NOPTS_VALUE)
        pkt->dts -= start;
    av_packet_rescale_ts(pkt, st->time_base, o->st->time_base);
    pkt->stream_index = o->st->index;
    pkt->pos = -1;
    o->written++;
    return av_interleaved_write_frame(mux, pkt);
}

/*
 * Second pass: decode, filter, encode and multiplex into part, n pictures
 * long (keep: the source's pictures copied, only the sound encoded).
 */
int transcode(source *s, const conform_target *t, const std::vector<int> &map, const double *gain,
              const char *part, conform_result *res, const conform_options *opt, double base, int64_t n, bool keep)
{
    AVFormatContext *mux = nullptr;
    int ret = avformat_alloc_output_context2(&mux, nullptr, "mpegts", part);
    if (ret < 0)
        return ret;
    std::vector<out_stream> outs((size_t)t->audio_count + 1);
    // What is read and what is written apart: the progress is read from the packet read.
    AVPacket *pkt = av_packet_alloc(), *opkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc(), *got = av_frame_alloc();
    if (!pkt || !opkt || !frame || !got) {
        ret = AVERROR(ENOMEM);
        goto out_free;
    }
    if ((ret = open_outputs(outs, mux, s, t, map, gain, n, keep, res)) < 0)
        goto out_free;
    if ((ret = avio_open(&mux->pb, part, AVIO_FLAG_WRITE)) < 0) {
        snprintf(res->why, sizeof(res->why), "cannot write [%s]: %s", part, averr(ret).c_str());
        goto out_free;
    }
    if ((ret = avformat_write_header(mux, nullptr)) < 0)
        goto out_close;
    while ((ret = av_read_frame(s->fmt, pkt)) >= 0) {
        int idx = pkt->stream_index;
        report_progress(opt, s, pkt, base, 1 - base);
        if (keep && idx == s->video) {
            ret = copy_picture(mux, s, &outs[0], pkt);
            av_packet_unref(pkt);
            if (ret < 0)
                break;
            continue;
        }
        for (size_t i = keep ? 1 : 0; s->dec[idx] && i < outs.size(); i++) {
            if (outs[i].source == idx) {  // every output of this source takes the frame
                ret = feed_outputs(s, idx, pkt, outs, i, mux, frame, got, opkt);
                break;
            }
        }
        av_packet_unref(pkt);
        if (ret < 0)
            break;
    }
    if (ret == AVERROR_EOF)
        ret = 0;
    /* The end: decoders drained into their graphs, graphs into their encoders, encoders into the file. */
    for (size_t i = keep ? 1 : 0; ret >= 0 && i < outs.size(); i++) {
        bool first = true;
        for (size_t k = keep ? 1 : 0; k < i; k++)
            first &= outs[k].source != outs[i].source;
        if (outs[i].source >= 0 && first)
            ret = feed_outputs(s, outs[i].source, nullptr, outs, i, mux, frame, got, opkt);
    }
    for (size_t i = 0; ret >= 0 && i < outs.size(); i++) {
        out_stream *o = &outs[i];
        if (!o->enc)
            continue;
        if (o->gr.in && i == 0) {
            /* The pictures end at n: the last one is held up to there. */
            const AVStream *st = s->fmt->streams[s->video];
            ret = filter_lib()->buffersrc_close(o->gr.in, av_rescale_q(n, av_inv_q(t->video.fps), st->time_base),
                                                AV_BUFFERSRC_FLAG_PUSH);
        } else if (o->gr.in) {
            ret = filter_lib()->buffersrc_write_frame(o->gr.in, nullptr);
        }
        if (ret == AVERROR_EOF)
            ret = 0;  // the graph had ended already
        if (ret >= 0)
            ret = filter_out(mux, o, got, opkt, i == 0);
        if (ret >= 0)
            ret = encode(mux, o, nullptr, opkt);
    }
    if (ret >= 0)
        ret = av_write_trailer(mux);
    if (ret >= 0) {
        res->pictures = outs[0].written;
        res->after = CONFORM_SILENT;
        res->peak = -INFINITY;
        for (size_t i = 1; i < outs.size(); i++) {
            if (outs[i].after.any && outs[i].after.integrated > res->after)
                res->after = outs[i].after.integrated;
            res->peak = std::max(res->peak, outs[i].after.peak);
        }
    }
out_close:
    avio_closep(&mux->pb);
out_free:
    av_packet_free(&pkt);
    av_packet_free(&opkt);
    av_frame_free(&frame);
    av_frame_free(&got);
    avformat_free_context(mux);
    return ret;
}

/* Copies the file from into to. 0 or -errno. */
int copy_file(const char *from, const char *to)
{
    FILE *in = fopen(from, "rb");
    FILE *out = in ? fopen(to, "wb") : nullptr;
    int ret = in && out ? 0 : -errno;
    char buf[65536];
    size_t n;
    while (ret == 0 && (n = fread(buf, 1, sizeof(buf), in)) > 0)
        if (fwrite(buf, 1, n, out) != n)
            ret = -EIO;
    if (in && ferror(in))
        ret = -EIO;
    if (out && fclose(out) != 0 && ret == 0)
        ret = -EIO;
    if (in)
        fclose(in);
    return ret;
}

} // namespace

int conform_file(const char *src, const char *dst, const conform_target *t, conform_result *res,
                 const conform_options *opt)
{
    if (!src || !dst || !t || !res)
        return -EINVAL;
    memset(res, 0, sizeof(*res));
    res->before = res->after = CONFORM_SILENT;
    res->peak = -INFINITY;
    res->status = CONFORM_FAILED;
    double cpu0 = cpu_now();
    stop_ctx stop = {opt ? opt->stop : nullptr};
    std::string part = std::string(dst) + ".part";
    int ret;
    {
        source s;
        if ((ret = source_open(&s, src, &stop, res)) < 0)
            goto out;
        std::vector<int> map = map_audio(&s, t);
        std::vector<loudness> before((size_t)t->audio_count);
        if ((ret = measure(&s, t, map, before.data(), opt, 0.3)) < 0) {
            snprintf(res->why, sizeof(res->why), "its sound cannot be measured: %s", averr(ret).c_str());
            goto out;
        }
        const pictures &p = s.pics;
        const AVStream *v = s.fmt->streams[s.video];
        struct stat st;
        if (strcmp(s.fmt->iformat->name, "mpegts") == 0 && stat(src, &st) == 0 && st.st_size % 188 != 0 &&
            st.st_size % 192 != 0) {
            snprintf(res->why, sizeof(res->why), "cut short: the file ends inside a TS packet");
            ret = AVERROR_INVALIDDATA;
            goto out;
        }
        if (p.first == AV_NOPTS_VALUE || p.end <= p.first) {
            snprintf(res->why, sizeof(res->why), "%s", p.count ? "its length is unknown" : "no pictures");
            ret = AVERROR_INVALIDDATA;
            goto out;
        }
        /* The pictures as read: their first is time 0 of the copy, their end its length. */
        s.start = av_rescale_q(p.first, v->time_base, AV_TIME_BASE_Q);
        s.seconds = (p.end - p.first) * av_q2d(v->time_base);
        int64_t n = copy_pictures(&s, t);
        res->source_seconds = s.seconds;
        res->pictures = n;
        res->seconds = n * av_q2d(av_inv_q(t->video.fps));
        std::vector<double> gain((size_t)t->audio_count);
        bool on_target = true;
        for (int i = 0; i < t->audio_count; i++) {
            const loudness &l = before[(size_t)i];
            if (l.any && l.integrated > res->before)
                res->before = l.integrated;
            gain[(size_t)i] = gain_for(l, t->lufs);
            on_target &= !l.any || l.integrated <= CONFORM_SILENT + 0.5 ||
                         (fabs(l.integrated - t->lufs) <= CONFORM_TOLERANCE && l.peak <= CONFORM_TRUE_PEAK);
        }
        std::string differs = video_difference(&s, t, n);
        bool keep = differs.empty();
        if (keep && on_target && file_difference(&s, t).empty()) {
            if ((ret = copy_file(src, part.c_str())) < 0) {
                snprintf(res->why, sizeof(res->why), "cannot write [%s]: %s", part.c_str(), strerror(-ret));
                goto out;
            }
            res->status = CONFORM_CHECKED;
            res->after = res->before;
            for (const loudness &l : before)
                res->peak = std::max(res->peak, l.peak);
        } else {
            /* Read again from the start (a transport stream does not seek to its first picture exactly). */
            source again;
            if ((ret = source_open(&again, src, &stop, res)) < 0)
                goto out;
            std::swap(s.fmt, again.fmt);
            std::swap(s.dec, again.dec);
            ret = transcode(&s, t, map, gain.data(), part.c_str(), res, opt, 0.3, n, keep);
            if (ret < 0) {
                if (!res->why[0])
                    snprintf(res->why, sizeof(res->why), "cannot be encoded: %s", averr(ret).c_str());
                goto out;
            }
            res->status = keep ? CONFORM_REMUXED : CONFORM_CONFORMED;
            /* What made its pictures change, for the log. */
            if (!keep)
                snprintf(res->why, sizeof(res->why), "pictures re-encoded: %s", differs.c_str());
        }
        if (rename(part.c_str(), dst) != 0) {
            ret = -errno;
            snprintf(res->why, sizeof(res->why), "cannot write [%s]: %s", dst, strerror(errno));
            res->status = CONFORM_FAILED;
            goto out;
        }
        if (opt && opt->progress)
            opt->progress(opt->opaque, 1.0);
    }
out:
    if (ret < 0) {
        unlink(part.c_str());
        res->status = CONFORM_FAILED;
        if (stop.stop && stop.stop->load())
            ret = -EINTR;
    }
    res->cpu_seconds = cpu_now() - cpu0;
    return ret;
}

int conform_measure(const char *src, conform_result *res, const conform_options *opt)
{
    if (!src || !res)
        return -EINVAL;
    memset(res, 0, sizeof(*res));
    res->before = res->after = CONFORM_SILENT;
    res->peak = -INFINITY;
    double cpu0 = cpu_now();
    stop_ctx stop = {opt ? opt->stop : nullptr};
    source s;
    int ret = source_open(&s, src, &stop, res);
    if (ret >= 0) {
        /* Each audio stream as it is: its own rate and channels. */
        conform_target t = {};
        std::vector<int> map;
        for (int idx : s.audio) {
            if (t.audio_count == CONFORM_MAX_AUDIO)
                break;
            conform_audio *a = &t.audio[t.audio_count++];
            a->sample_rate = s.dec[idx]->sample_rate;
            a->channels = s.dec[idx]->ch_layout.nb_channels;
            map.push_back(idx);
        }
        std::vector<loudness> found((size_t)t.audio_count);
        ret = measure(&s, &t, map, found.data(), opt, 1.0);
        if (ret < 0)
            snprintf(res->why, sizeof(res->why), "its sound cannot be measured: %s", averr(ret).c_str());
        for (const loudness &l : found) {
            if (l.any && l.integrated > res->before)
                res->before = l.integrated;
            res->peak = std::max(res->peak, l.peak);
        }
        res->after = res->before;
        const AVStream *v = s.fmt->streams[s.video];
        if (s.pics.first != AV_NOPTS_VALUE && s.pics.end > s.pics.first)
            res->seconds = res->source_seconds = (s.pics.end - s.pics.first) * av_q2d(v->time_base);
        res->pictures = s.pics.count;
    }
    if (ret < 0 && stop.stop && stop.stop->load())
        ret = -EINTR;
    res->cpu_seconds = cpu_now() - cpu0;
    return ret;
}
