/*
 * Re-encoding the pictures around frame-accurate splice points (see
 * reencode.h): matching the programme's codec, decoding a run, encoding it.
 */
#include "codec/reencode.h"
#include "common/utils.h"
#include "common/video_format.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <deque>
#include <system_error>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/time.h>
}

struct reencode {
    AVCodecParameters *par;
    const AVCodec *dec_codec;
    const AVCodec *enc_codec;
    AVRational frame_rate;
    int64_t max_rate;              // bit/s, 0: from par or the run
    int64_t buffer_size;           // bits, 0: one second at the rate
    const char *profile;           // the encoder's name for the programme's profile, or null
    std::vector<uint8_t> params;   // the programme's parameter sets (Annex B), as last seen
    std::mutex params_lock;        // params: noted by a run on the piper, read by reencode_key_params at once
    // the run under way
    AVCodecContext *dec;
    AVCodecContext *enc;
    AVFrame *frame;
    int64_t from;                  // 90 kHz: the first picture encoded is the first shown at or after it
    int64_t lead;                  // 90 kHz: the run's dts are its pts less this
    std::vector<int64_t> shown;    // the pts of the pictures sent to the encoder, by number
    std::deque<AVPacket *> ready;  // encoded, not taken yet
    std::deque<AVFrame *> held;    // the last pictures decoded shown before from (reencode_hold), display order
    int hold;                      // how many of them are kept; 0: none
    int64_t let_go;                // 90 kHz: the latest picture shown before from not kept; AV_NOPTS_VALUE: none
    // an encoder opened ahead of its run (reencode_prepare) and the last one closed, each on a thread of its own
    std::thread opener;            // joinable: next is being opened
    AVCodecContext *next;          // opened, for the next run to take; written by opener until it is joined
    std::thread closer;            // joinable: an encoder is being (or was) closed
    // a run ended on a thread of its own (reencode_finish_async)
    std::thread worker;            // joinable: the run is the worker's until it is joined (settle)
    std::atomic<bool> worker_done{false};
    int worker_ret = 0;
    std::deque<AVPacket *> handed; // the worker's run's packets, for reencode_collect
    // a run fed through the piper thread (reencode_pipe): feed, rewind and finish are posted to it
    struct command {
        int op;                    // PIPE_FEED, PIPE_REWIND, PIPE_FINISH, PIPE_ABORT
        AVPacket *pkt;             // PIPE_FEED: a reference of the caller's
        int64_t from, to, rate;
        int64_t posted_us;         // wall clock when it was posted
    };
    bool piping = false;           // the caller's thread: calls are posted
    std::thread piper;             // started at the first post, ended by reencode_destroy
    std::mutex pipe_lock;          // guards the fields below
    std::condition_variable pipe_cv;
    std::deque<command> posted;    // not run yet
    bool pipe_busy = false;        // the piper runs one
    int64_t busy_since = 0;        // the posting time of the one it runs
    bool pipe_stop = false;
    int pipe_ret = 0;              // the first error of a posted call; later ones are skipped
    std::deque<AVPacket *> piped;  // encoded by the piper, for reencode_take
};

enum { PIPE_FEED, PIPE_REWIND, PIPE_FINISH, PIPE_ABORT };

/* Waits until the piper has run every call posted to it. */
static void pipe_wait(reencode *r)
{
    if (!r->piper.joinable())
        return;
    std::unique_lock<std::mutex> lk(r->pipe_lock);
    r->pipe_cv.wait(lk, [r] { return r->posted.empty() && !r->pipe_busy; });
}

/* Whether the piper has nothing to run (a run given up may still be ending there: reencode_abort). */
static bool piper_idle(reencode *r)
{
    if (!r->piper.joinable())
        return true;
    std::lock_guard<std::mutex> lk(r->pipe_lock);
    return r->posted.empty() && !r->pipe_busy;
}

/* Waits for the run ended on the worker thread and for the piper: every other call works on the run after them. */
static void settle(reencode *r)
{
    if (r->worker.joinable())
        r->worker.join();
    pipe_wait(r);
}

static void free_packets(std::deque<AVPacket *> *q)
{
    for (AVPacket *p : *q)
        av_packet_free(&p);
    q->clear();
}

/* ---- matching the programme ---- */

/* The encoder's profile name for the programme's, "" for the encoder's own choice, null when none matches. */
static const char *profile_name(const AVCodecParameters *par)
{
    int p = par->profile;

    if (p == FF_PROFILE_UNKNOWN)
        return "";
    switch (par->codec_id) {
    case AV_CODEC_ID_H264:
        switch (p) {
        case FF_PROFILE_H264_BASELINE:
        case FF_PROFILE_H264_CONSTRAINED_BASELINE: return "baseline";
        case FF_PROFILE_H264_MAIN: return "main";
        case FF_PROFILE_H264_HIGH: return "high";
        case FF_PROFILE_H264_HIGH_10: return "high10";
        case FF_PROFILE_H264_HIGH_422: return "high422";
        case FF_PROFILE_H264_HIGH_444_PREDICTIVE: return "high444";
        default: return nullptr;   // extended, the intra profiles
        }
    case AV_CODEC_ID_HEVC:
        return p == FF_PROFILE_HEVC_MAIN ? "main" : p == FF_PROFILE_HEVC_MAIN_10 ? "main10" : nullptr;
    case AV_CODEC_ID_MPEG2VIDEO:
        // The encoder writes main (4:2:0) or 4:2:2 by the pixel format; simple is main without B-pictures.
        return p == FF_PROFILE_MPEG2_MAIN || p == FF_PROFILE_MPEG2_SIMPLE || p == FF_PROFILE_MPEG2_422
            ? "" : nullptr;
    default:
        return nullptr;
    }
}

static const char *encoder_name(int codec_id)
{
    switch (codec_id) {
    case AV_CODEC_ID_H264: return "libx264";
    case AV_CODEC_ID_HEVC: return "libx265";
    case AV_CODEC_ID_MPEG2VIDEO: return "mpeg2video";
    default: return nullptr;
    }
}

static bool encodes_format(const AVCodec *enc, int format)
{
    for (const AVPixelFormat *f = enc->pix_fmts; f && *f != AV_PIX_FMT_NONE; f++)
        if (*f == format)
            return true;
    return false;
}

int reencode_create(reencode **out, const AVCodecParameters *par, AVRational frame_rate,
                    int64_t max_rate, int64_t buffer_size)
{
    const char *name = encoder_name(par->codec_id);
    const AVCodec *enc = name ? avcodec_find_encoder_by_name(name) : nullptr;
    const AVCodec *dec = avcodec_find_decoder(par->codec_id);
    const char *profile = profile_name(par);

    if (!enc || !dec || !profile || !encodes_format(enc, par->format) || par->width <= 0
        || par->height <= 0 || frame_rate.num <= 0 || frame_rate.den <= 0)
        return REENCODE_UNMATCHED;
    reencode *r = new (std::nothrow) reencode();
    if (!r)
        return AVERROR(ENOMEM);
    r->par = avcodec_parameters_alloc();
    if (!r->par || avcodec_parameters_copy(r->par, par) < 0) {
        reencode_destroy(&r);
        return AVERROR(ENOMEM);
    }
    r->dec_codec = dec;
    r->enc_codec = enc;
    r->frame_rate = frame_rate;
    r->max_rate = max_rate;
    r->buffer_size = buffer_size;
    r->profile = profile;
    *out = r;
    return 0;
}

static bool take_prepared(reencode *r, AVCodecContext **enc);

void reencode_destroy(reencode **r)
{
    if (!*r)
        return;
    reencode_abort(*r);
    free_packets(&(*r)->handed);
    if ((*r)->piper.joinable()) {
        {
            std::lock_guard<std::mutex> lk((*r)->pipe_lock);
            (*r)->pipe_stop = true;
        }
        (*r)->pipe_cv.notify_all();
        (*r)->piper.join();
    }
    AVCodecContext *next = nullptr;
    take_prepared(*r, &next);
    avcodec_free_context(&next);
    if ((*r)->closer.joinable())
        (*r)->closer.join();
    avcodec_parameters_free(&(*r)->par);
    delete *r;
    *r = nullptr;
}

/* ---- parameter sets ---- */

/* Calls f(offset of the start code, offset of the NAL header, end) for each NAL unit of an Annex B buffer. */
template <typename F> static void each_nal(const uint8_t *p, int size, F f)
{
    int start = -1, head = -1;

    for (int i = 0; i + 2 < size; i++) {
        if (p[i] || p[i + 1] || p[i + 2] != 1)
            continue;
        int code = i > 0 && !p[i - 1] ? i - 1 : i;
        if (head >= 0)
            f(start, head, code);
        start = code;
        head = i + 3;
        i += 2;
    }
    if (head >= 0 && head < size)
        f(start, head, size);
}

/* Whether the NAL unit at p is a parameter set of codec_id. */
static bool param_set(int codec_id, const uint8_t *p)
{
    if (codec_id == AV_CODEC_ID_H264)
        return (p[0] & 0x1F) == 7 || (p[0] & 0x1F) == 8;
    int t = (p[0] >> 1) & 0x3F;
    return t >= 32 && t <= 34;
}

/* Notes the parameter sets pkt carries, the whole set of them replacing what was noted. */
static void note_params(reencode *r, const AVPacket *pkt)
{
    std::vector<uint8_t> found;

    each_nal(pkt->data, pkt->size, [&](int start, int head, int end) {
        if (param_set(r->par->codec_id, pkt->data + head))
            found.insert(found.end(), pkt->data + start, pkt->data + end);
    });
    if (found.empty())
        return;
    std::lock_guard<std::mutex> lk(r->params_lock);
    r->params.swap(found);
}

int reencode_key_params(reencode *r, AVPacket *key)
{
    int codec = r->par->codec_id;
    bool has = false;
    std::lock_guard<std::mutex> lk(r->params_lock);  // not the run's end: a run given up may still be finishing

    if ((codec != AV_CODEC_ID_H264 && codec != AV_CODEC_ID_HEVC) || r->params.empty())
        return 0;
    each_nal(key->data, key->size, [&](int, int head, int) {
        has = has || param_set(codec, key->data + head);
    });
    if (has)
        return 0;
    AVBufferRef *buf = av_buffer_alloc(r->params.size() + key->size + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!buf)
        return AVERROR(ENOMEM);
    memcpy(buf->data, r->params.data(), r->params.size());
    memcpy(buf->data + r->params.size(), key->data, key->size);
    memset(buf->data + r->params.size() + key->size, 0, AV_INPUT_BUFFER_PADDING_SIZE);
    av_buffer_unref(&key->buf);
    key->buf = buf;
    key->data = buf->data;
    key->size += (int)r->params.size();
    return 0;
}

/* ---- a run ---- */

/* The peak rate of the run: given, the programme's declared one, or that of its packets. */
static int64_t run_rate(const reencode *r, AVPacket *const *pkts, int n)
{
    if (r->max_rate > 0)
        return r->max_rate;
    if (r->par->bit_rate > 0)
        return r->par->bit_rate;
    int64_t first = pkts[0]->dts != AV_NOPTS_VALUE ? pkts[0]->dts : pkts[0]->pts, last = first, bytes = 0;
    if (first == AV_NOPTS_VALUE)
        return 0;
    for (int i = 0; i < n; i++) {
        bytes += pkts[i]->size;
        if (pkts[i]->dts != AV_NOPTS_VALUE && pkts[i]->dts > last)
            last = pkts[i]->dts;
    }
    int64_t span = last - first + av_rescale(90000, r->frame_rate.den, r->frame_rate.num);
    return span > 0 ? av_rescale(bytes * 8, 90000, span) : 0;
}

/* Opens the encoder for a run at rate. */
static int open_encoder(const reencode *r, int64_t rate, AVCodecContext **out)
{
    const AVCodecParameters *par = r->par;
    AVCodecContext *c = avcodec_alloc_context3(r->enc_codec);
    AVDictionary *opts = nullptr;
    char text[160];

    if (!c)
        return AVERROR(ENOMEM);
    const video_format format = {par->width, par->height, par->format, par->sample_aspect_ratio, r->frame_rate,
                                 par->field_order, par->level};
    video_format_setup(c, &format, &opts);
    c->color_primaries = par->color_primaries;
    c->color_trc = par->color_trc;
    c->colorspace = par->color_space;
    c->color_range = par->color_range;
    c->chroma_sample_location = par->chroma_location;
    c->gop_size = 100000;          // one key frame, the first: a run is shorter than the programme's GOP
    c->max_b_frames = 0;           // no reordering: the run takes the decoding times it is given
    // A run of P-pictures in place of the programme's with B-pictures needs more than its rate for their
    // quality (a 4 s run in an 8.3 s GOP at 300 kbit/s, 360p: 36 dB at the rate, 38 at 5/4, 39.4 at 3/2).
    c->rc_max_rate = rate * 3 / 2;
    c->rc_buffer_size = (int)(r->buffer_size > 0 ? r->buffer_size : rate);
    c->rc_initial_buffer_occupancy = c->rc_buffer_size * 3 / 4;
    if (r->profile[0])
        av_dict_set(&opts, "profile", r->profile, 0);
    switch (par->codec_id) {
    case AV_CODEC_ID_H264:
        // No look-ahead: a return's run airs picture by picture as the programme comes.
        av_dict_set(&opts, "preset", "veryfast", 0);
        av_dict_set(&opts, "tune", "zerolatency", 0);
        // As for HEVC below: a low CRF spends the buffer on the IDR and the first pictures, and a long run
        // starves toward its end (1080p30, 8.3 s GOP, the return a run of 99 pictures: 55 dB falling to
        // 43.2 at CRF 16, at 3 Mbit/s); at 23 the pictures stay level, 44.6 at worst (46-47 dB where the
        // rate leaves room).
        av_dict_set(&opts, "crf", "23", 0);
        av_dict_set(&opts, "x264-params", "scenecut=0:open-gop=0:log=0", 0);
        break;
    case AV_CODEC_ID_HEVC:
        // The library's HEVC level is general_level_idc, thirty times the level.
        // Two reference pictures: 1 to 1.5 dB where the rate is tight (a run of P-pictures in place of a
        // programme's with B-pictures), for about a tenth more time.
        snprintf(text, sizeof(text), "log-level=error:scenecut=0:open-gop=0:bframes=0:ref=2");
        if (par->level > 0)
            snprintf(text + strlen(text), sizeof(text) - strlen(text), ":level-idc=%.1f", par->level / 30.0);
        // Coding units down to 8x8 in SD and smaller pictures (the preset stops at 16x16, coarse there):
        // about 1 dB for a tenth more time, while at 720p and above it costs a third more for 0.2 dB.
        if (par->height <= 576)
            snprintf(text + strlen(text), sizeof(text) - strlen(text), ":min-cu-size=8");
        // The fastest preset: half the time of veryfast, about 1 dB less, so a run keeps pace with 720p at 25 Hz.
        av_dict_set(&opts, "preset", "ultrafast", 0);
        av_dict_set(&opts, "tune", "zerolatency", 0);
        // A run without B-pictures costs more than the programme's pictures with them, under the same
        // peak rate and buffer. A lower CRF spends the buffer on the IDR and the first pictures and the
        // rest of the run starves (36 dB at the end of a 2 s GOP with B-frames at CRF 16, 37 at 22 in a
        // 4 s GOP); at 25 the pictures stay level, above 39 dB, through a run of half a 4 s GOP.
        av_dict_set(&opts, "crf", "25", 0);
        av_dict_set(&opts, "x265-params", text, 0);
        break;
    default:
        c->profile = par->profile;     // the encoder takes a level only with its profile
        av_dict_set(&opts, "sc_threshold", "1000000000", 0);  // no scene cuts in a closed GOP
        // The encoder's rate control keeps the buffer only at a target rate, not at a fixed
        // quantiser; the target below the peak, as its rate control wants for a variable rate.
        c->bit_rate = rate * 9 / 10;
        c->gop_size = 600;             // its longest GOP (24 s at 25 Hz): longer than any run
        c->qmin = 1;
        break;
    }
    int ret = avcodec_open2(c, r->enc_codec, &opts);
    av_dict_free(&opts);
    if (ret < 0) {
        avcodec_free_context(&c);
        return ret;
    }
    *out = c;
    return 0;
}

/* Moves the packets the encoder has ready to the run's, with their times. */
static int drain(reencode *r)
{
    for (;;) {
        AVPacket *p = av_packet_alloc();
        if (!p)
            return AVERROR(ENOMEM);
        int ret = avcodec_receive_packet(r->enc, p);
        if (ret < 0) {
            av_packet_free(&p);
            return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
        }
        if (p->pts < 0 || p->pts >= (int64_t)r->shown.size()) {   // not a picture sent: no reordering was asked
            av_packet_free(&p);
            return AVERROR_INVALIDDATA;
        }
        p->pts = r->shown[p->pts];
        p->dts = p->pts - r->lead;
        p->duration = av_rescale(90000, r->frame_rate.den, r->frame_rate.num);
        p->time_base = {1, 90000};
        r->ready.push_back(p);
    }
}

/* Sends picture f, shown at pts, to the encoder as the run's next (its first an intra picture). */
static int encode_frame(reencode *r, AVFrame *f, int64_t pts)
{
    f->pts = (int64_t)r->shown.size();
    f->pict_type = r->shown.empty() ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    r->shown.push_back(pts);
    int ret = avcodec_send_frame(r->enc, f);
    return ret < 0 ? ret : drain(r);
}

/* Keeps a reference to picture f, shown at pts before the run, among the last r->hold ones. */
static int hold_frame(reencode *r, const AVFrame *f, int64_t pts)
{
    if (r->hold <= 0) {
        r->let_go = pts;
        return 0;
    }
    AVFrame *c = av_frame_clone(f);
    if (!c)
        return AVERROR(ENOMEM);
    c->best_effort_timestamp = pts;
    r->held.push_back(c);
    if ((int)r->held.size() > r->hold) {
        r->let_go = r->held.front()->best_effort_timestamp;
        av_frame_free(&r->held.front());
        r->held.pop_front();
    }
    return 0;
}

/* Encodes the pictures the decoder has ready that fall in the run; those shown before it may be held. */
static int encode_ready(reencode *r, int64_t to)
{
    for (;;) {
        int ret = avcodec_receive_frame(r->dec, r->frame);
        if (ret < 0)
            return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
        int64_t pts = r->frame->best_effort_timestamp;
        if (pts != AV_NOPTS_VALUE && pts >= r->from && pts < to)
            ret = encode_frame(r, r->frame, pts);
        else if (pts != AV_NOPTS_VALUE && pts < r->from && pts < to)
            ret = hold_frame(r, r->frame, pts);
        av_frame_unref(r->frame);
        if (ret < 0)
            return ret;
    }
}

/*
 * The encoder's opening and closing cost the most of a short run (the
 * library's threads started and joined): an encoder opened ahead
 * (reencode_prepare) is taken by the next run, and a run's encoder is
 * closed on a thread of its own, so that neither falls on the caller's
 * packet. A thread that cannot be started leaves the work to the caller.
 */

/* Takes the encoder reencode_prepare opened (waiting for it when still opening): true with *enc set. */
static bool take_prepared(reencode *r, AVCodecContext **enc)
{
    if (r->opener.joinable())
        r->opener.join();
    *enc = r->next;
    r->next = nullptr;
    return *enc != nullptr;
}

/* Opens the run's encoder at rate, or takes the one opened ahead when the rate is fixed (the same then). */
static int run_encoder(reencode *r, int64_t rate, AVCodecContext **out)
{
    if ((r->max_rate > 0 || r->par->bit_rate > 0) && take_prepared(r, out))
        return 0;
    return open_encoder(r, rate, out);
}

/* Closes *enc, on the closer thread when one can be started. */
static void retire_encoder(reencode *r, AVCodecContext **enc)
{
    if (!*enc)
        return;
    if (r->closer.joinable())
        r->closer.join();  // the one before: closed long since
    AVCodecContext *c = *enc;
    *enc = nullptr;
    try {
        r->closer = std::thread([c]() mutable {
            utils_name_thread("encoder-close");
            avcodec_free_context(&c);
        });
    } catch (const std::system_error &) {
        avcodec_free_context(&c);
    }
}

int reencode_prepare(reencode *r, int64_t rate)
{
    if (r->worker.joinable() || r->piping || !piper_idle(r))
        return 0;  // the worker's run may take the one opened ahead: the next call prepares
    int64_t known = r->max_rate > 0 ? r->max_rate : r->par->bit_rate;
    if (known > 0)
        rate = known;
    if (r->opener.joinable() || r->next)
        return 0;
    if (rate <= 0)
        return AVERROR(EINVAL);
    try {
        r->opener = std::thread([r, rate]() {
            utils_name_thread("encoder-open");
            AVCodecContext *c = nullptr;
            if (open_encoder(r, rate, &c) >= 0)
                r->next = c;
        });
    } catch (const std::system_error &) {
        return AVERROR(EAGAIN);
    }
    return 0;
}

void reencode_unprepare(reencode *r)
{
    if (r->worker.joinable() || r->piping || !piper_idle(r))
        return;  // the worker's run takes it, if it is still there
    AVCodecContext *next = nullptr;
    if (take_prepared(r, &next))
        retire_encoder(r, &next);
}

static void end_run(reencode *r)
{
    avcodec_free_context(&r->dec);
    retire_encoder(r, &r->enc);
    av_frame_free(&r->frame);
    r->shown.clear();
    for (AVFrame *f : r->held)
        av_frame_free(&f);
    r->held.clear();
    r->hold = 0;
    r->let_go = AV_NOPTS_VALUE;
}

int reencode_begin(reencode *r, int64_t from, int64_t lead, int64_t rate)
{
    int ret;

    reencode_abort(r);
    settle(r);  // a run given up may still be ending on the piper: the new one starts after it
    int64_t known = r->max_rate > 0 ? r->max_rate : r->par->bit_rate;
    if (known > 0)
        rate = known;
    if ((rate <= 0 && from != INT64_MAX) || lead < 0)
        return AVERROR(EINVAL);
    r->frame = av_frame_alloc();
    r->dec = avcodec_alloc_context3(r->dec_codec);
    if (!r->frame || !r->dec) {
        ret = AVERROR(ENOMEM);
        goto out_end;
    }
    ret = avcodec_parameters_to_context(r->dec, r->par);
    if (ret < 0)
        goto out_end;
    r->dec->pkt_timebase = {1, 90000};
    r->dec->thread_count = 1;
    ret = avcodec_open2(r->dec, r->dec_codec, nullptr);
    if (ret < 0)
        goto out_end;
    if (from != INT64_MAX)  // else the run's start is not known yet: reencode_rewind opens the encoder
        ret = run_encoder(r, rate, &r->enc);
    if (ret < 0)
        goto out_end;
    r->from = from;
    r->lead = lead;
    return 0;

out_end:
    end_run(r);
    return ret;
}

static int feed_run(reencode *r, const AVPacket *pkt, int64_t to)
{
    if (!r->dec)
        return AVERROR(EINVAL);
    note_params(r, pkt);
    int ret = avcodec_send_packet(r->dec, pkt);
    if (ret < 0 && ret != AVERROR_INVALIDDATA)   // a damaged picture leaves a gap the run's count shows
        return ret;
    return encode_ready(r, to);
}

static int finish_run(reencode *r, int64_t to)
{
    if (!r->dec)
        return AVERROR(EINVAL);
    int ret = avcodec_send_packet(r->dec, nullptr);
    if (ret >= 0)
        ret = encode_ready(r, to);
    if (ret >= 0 && r->enc)
        ret = avcodec_send_frame(r->enc, nullptr);
    if (ret >= 0 && r->enc)
        ret = drain(r);
    end_run(r);
    return ret;
}

void reencode_hold(reencode *r, int n)
{
    settle(r);
    r->hold = n > 0 ? n : 0;
}

static int rewind_run(reencode *r, int64_t from, int64_t to, int64_t rate)
{
    if (!r->dec || r->enc || from == INT64_MAX)
        return AVERROR(EINVAL);
    if (r->let_go != AV_NOPTS_VALUE && r->let_go >= from)
        return AVERROR(ERANGE);
    int64_t known = r->max_rate > 0 ? r->max_rate : r->par->bit_rate;
    int ret = take_prepared(r, &r->enc)      ? 0
              : rate > 0 || known > 0 ? open_encoder(r, known > 0 ? known : rate, &r->enc)
                                      : AVERROR(EINVAL);
    r->from = from;
    for (AVFrame *f : r->held) {
        int64_t pts = f->best_effort_timestamp;
        if (ret >= 0 && pts >= from && pts < to)
            ret = encode_frame(r, f, pts);
        av_frame_free(&f);
    }
    r->held.clear();
    r->hold = 0;
    return ret;
}

int reencode_take(reencode *r, AVPacket **pkt)
{
    if (r->piping) {
        std::lock_guard<std::mutex> lk(r->pipe_lock);
        if (r->piped.empty())
            return AVERROR(EAGAIN);
        *pkt = r->piped.front();
        r->piped.pop_front();
        return 0;
    }
    settle(r);
    if (r->ready.empty())
        return AVERROR(EAGAIN);
    *pkt = r->ready.front();
    r->ready.pop_front();
    return 0;
}

static void abort_run(reencode *r)
{
    end_run(r);
    free_packets(&r->ready);
}

/* ---- a run fed through the piper thread ---- */

static int run_command(reencode *r, const reencode::command &c)
{
    switch (c.op) {
    case PIPE_FEED: return feed_run(r, c.pkt, c.to);
    case PIPE_REWIND: return rewind_run(r, c.from, c.to, c.rate);
    case PIPE_FINISH: return finish_run(r, c.to);
    default: abort_run(r); return 0;
    }
}

/* run_command on the piper: nothing thrown leaves the thread (an allocation that fails is the run's error). */
static int run_guarded(reencode *r, const reencode::command &c)
{
    try {
        return run_command(r, c);
    } catch (...) {
        return AVERROR(ENOMEM);
    }
}

/* Runs a command's result in: its error kept (the first one), what it encoded handed to reencode_take. Locked. */
static void pipe_done(reencode *r, int ret)
{
    if (ret < 0 && r->pipe_ret >= 0)
        r->pipe_ret = ret;
    for (AVPacket *p : r->ready)
        r->piped.push_back(p);
    r->ready.clear();
}

static void pipe_loop(reencode *r)
{
    utils_name_thread("encoder-pipe");
    std::unique_lock<std::mutex> lk(r->pipe_lock);
    for (;;) {
        r->pipe_cv.wait(lk, [r] { return r->pipe_stop || !r->posted.empty(); });
        if (r->posted.empty())
            return;
        reencode::command c = r->posted.front();
        r->posted.pop_front();
        r->pipe_busy = true;
        r->busy_since = c.posted_us;
        bool skip = r->pipe_ret < 0 && c.op != PIPE_ABORT;  // the run failed: what follows is dropped
        lk.unlock();
        int ret = skip ? 0 : run_guarded(r, c);
        av_packet_free(&c.pkt);
        lk.lock();
        pipe_done(r, ret);
        if (c.op == PIPE_ABORT) {  // the caller let go of the run without waiting: what it left is dropped
            free_packets(&r->piped);
            r->pipe_ret = 0;
        }
        r->pipe_busy = false;
        r->pipe_cv.notify_all();
    }
}

/* Posts c (its packet then the piper's); returns the run's first error so far, or 0. */
static int post(reencode *r, reencode::command c)
{
    std::unique_lock<std::mutex> lk(r->pipe_lock);
    if (r->pipe_ret < 0) {
        av_packet_free(&c.pkt);
        return r->pipe_ret;
    }
    if (!r->piper.joinable()) {
        try {
            r->piper = std::thread(pipe_loop, r);
        } catch (const std::system_error &) {
            lk.unlock();  // no thread: the call runs here
            int ret = run_command(r, c);
            av_packet_free(&c.pkt);
            lk.lock();
            pipe_done(r, ret);
            return ret;
        }
    }
    c.posted_us = av_gettime_relative();
    r->posted.push_back(c);
    lk.unlock();
    r->pipe_cv.notify_all();
    return 0;
}

int reencode_pipe(reencode *r, bool on)
{
    if (on) {
        settle(r);
        r->piping = true;
        return 0;
    }
    if (!r->piping)
        return 0;
    pipe_wait(r);
    r->piping = false;
    std::lock_guard<std::mutex> lk(r->pipe_lock);
    int ret = r->pipe_ret;
    r->pipe_ret = 0;
    for (AVPacket *p : r->piped)
        r->ready.push_back(p);
    r->piped.clear();
    return ret;
}

int64_t reencode_pipe_lag_us(reencode *r)
{
    if (!r->piping || !r->piper.joinable())
        return 0;
    std::lock_guard<std::mutex> lk(r->pipe_lock);
    int64_t oldest = r->pipe_busy ? r->busy_since : !r->posted.empty() ? r->posted.front().posted_us : 0;
    return oldest ? av_gettime_relative() - oldest : 0;
}

bool reencode_pipe_settled(reencode *r, int64_t us)
{
    if (!r->piping || !r->piper.joinable())
        return true;
    std::unique_lock<std::mutex> lk(r->pipe_lock);
    return r->pipe_cv.wait_for(lk, std::chrono::microseconds(us), [r] { return r->posted.empty() && !r->pipe_busy; });
}

bool reencode_pipe_idle(reencode *r)
{
    if (!r->piping || !r->piper.joinable())
        return true;
    std::lock_guard<std::mutex> lk(r->pipe_lock);
    return r->posted.empty() && !r->pipe_busy;
}

int reencode_feed(reencode *r, const AVPacket *pkt, int64_t to)
{
    if (r->piping) {
        AVPacket *ref = av_packet_clone(pkt);
        return ref ? post(r, {PIPE_FEED, ref, 0, to, 0, 0}) : AVERROR(ENOMEM);
    }
    settle(r);
    return feed_run(r, pkt, to);
}

int reencode_finish(reencode *r, int64_t to)
{
    if (r->piping)
        return post(r, {PIPE_FINISH, nullptr, 0, to, 0, 0});
    settle(r);
    return finish_run(r, to);
}

int reencode_rewind(reencode *r, int64_t from, int64_t to, int64_t rate)
{
    if (r->piping)
        return post(r, {PIPE_REWIND, nullptr, from, to, rate, 0});
    settle(r);
    return rewind_run(r, from, to, rate);
}

void reencode_abort(reencode *r)
{
    if (r->worker.joinable())
        r->worker.join();
    r->piping = false;
    if (r->piper.joinable()) {  // what is posted is dropped
        std::unique_lock<std::mutex> lk(r->pipe_lock);
        for (reencode::command &c : r->posted)
            av_packet_free(&c.pkt);
        r->posted.clear();
        if (r->pipe_busy) {
            /*
             * The call under way (a picture, the encoder's flush) is not
             * waited for: the piper ends the run after it. The next call
             * that works on the run waits for that (settle); the caller
             * that gives up a late run goes on at once.
             */
            r->posted.push_back({PIPE_ABORT, nullptr, 0, 0, 0, av_gettime_relative()});
            lk.unlock();
            r->pipe_cv.notify_all();
            return;
        }
        free_packets(&r->piped);
        r->pipe_ret = 0;
    }
    abort_run(r);
}

int reencode_finish_async(reencode *r, int64_t from, int64_t to, int64_t rate)
{
    settle(r);
    free_packets(&r->handed);
    if (!r->dec || r->enc || from == INT64_MAX)
        return AVERROR(EINVAL);
    if (r->let_go != AV_NOPTS_VALUE && r->let_go >= from)
        return AVERROR(ERANGE);  // known here, so that the caller can still fall back
    auto run = [r, from, to, rate]() {
        int ret;
        try {
            ret = rewind_run(r, from, to, rate);
            if (ret >= 0)
                ret = finish_run(r, to);
        } catch (...) {
            ret = AVERROR(ENOMEM);  // nothing thrown leaves the thread
        }
        if (ret < 0)
            abort_run(r);
        r->handed.swap(r->ready);
        free_packets(&r->ready);
        r->worker_ret = ret;
        r->worker_done.store(true, std::memory_order_release);
    };
    r->worker_done.store(false, std::memory_order_relaxed);
    try {
        r->worker = std::thread([run]() {
            utils_name_thread("encoder-run");
            run();
        });
    } catch (const std::system_error &) {
        run();  // no thread: the run ends here
    }
    return 0;
}

bool reencode_finished(const reencode *r)
{
    return !r->worker.joinable() || r->worker_done.load(std::memory_order_acquire);
}

bool reencode_busy(reencode *r)
{
    return !reencode_finished(r) || !piper_idle(r);
}

int reencode_collect(reencode *r, AVPacket **out, int max, int *n)
{
    settle(r);
    int ret = r->worker_ret;
    *n = 0;
    while (!r->handed.empty()) {
        AVPacket *p = r->handed.front();
        r->handed.pop_front();
        if (ret >= 0 && *n < max)
            out[(*n)++] = p;
        else
            av_packet_free(&p);
    }
    r->worker_ret = 0;
    return ret;
}

int reencode_run(reencode *r, AVPacket *const *pkts, int n, int64_t from, int64_t to,
                 const int64_t *dts, int m, AVPacket **out)
{
    if (n < 1 || m < 1)
        return AVERROR(EINVAL);
    int ret = reencode_begin(r, from, 0, run_rate(r, pkts, n));
    for (int i = 0; i < n && ret >= 0; i++)
        ret = reencode_feed(r, pkts[i], to);
    if (ret >= 0)
        ret = reencode_finish(r, to);
    if (ret >= 0 && (int)r->ready.size() != m)
        ret = AVERROR_INVALIDDATA;
    if (ret < 0) {
        reencode_abort(r);
        return ret;
    }
    for (int k = 0; k < m; k++) {
        reencode_take(r, &out[k]);
        out[k]->dts = dts[k];
        out[k]->stream_index = pkts[0]->stream_index;
    }
    return 0;
}
