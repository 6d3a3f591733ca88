/*
 * Thumbnail thread: takes the key frames the relay handed over, decodes
 * each alone, scales it and encodes it as a JPEG (see thumbs.h).
 */
#include "service/thumbs.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include "common/log.h"
#include "common/trace.h"
#include "common/utils.h"

#define THUMBS_TICK_MS 50   // how often the thread looks at the slots (and at the stop)

struct thumb_offer {
    AVPacket *pkt;
    int codec_id;
};

namespace {

int64_t monotonic_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

void offer_free(thumb_offer *o)
{
    if (!o)
        return;
    av_packet_free(&o->pkt);
    delete o;
}

/* The picture of pkt alone, decoded into *frame (allocated). 0 or the library's code. */
int decode_alone(const AVPacket *pkt, int codec_id, AVFrame **frame)
{
    const AVCodec *codec = avcodec_find_decoder((AVCodecID)codec_id);
    if (!codec)
        return AVERROR_DECODER_NOT_FOUND;
    AVCodecContext *dec = avcodec_alloc_context3(codec);
    *frame = av_frame_alloc();
    if (!dec || !*frame) {
        avcodec_free_context(&dec);
        av_frame_free(frame);
        return AVERROR(ENOMEM);
    }
    dec->thread_count = 1;
    int ret = avcodec_open2(dec, codec, nullptr);
    if (ret >= 0)
        ret = avcodec_send_packet(dec, pkt);
    if (ret >= 0)
        ret = avcodec_send_packet(dec, nullptr);  // no picture follows: the decoder gives what it holds
    if (ret >= 0)
        ret = avcodec_receive_frame(dec, *frame);
    if (ret == AVERROR_EOF)
        ret = AVERROR(EAGAIN);
    avcodec_free_context(&dec);
    if (ret < 0)
        av_frame_free(frame);
    return ret;
}

/* frame scaled to width (height by its display aspect, even) and encoded as JPEG into out->jpeg. */
int encode_jpeg(const AVFrame *frame, int width, thumb_picture *out)
{
    AVRational sar = frame->sample_aspect_ratio.num > 0 ? frame->sample_aspect_ratio : AVRational{1, 1};
    int64_t h = (int64_t)width * frame->height * sar.den / ((int64_t)frame->width * sar.num);
    int height = (int)(h < 2 ? 2 : h > 4096 ? 4096 : h) & ~1;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec)
        return AVERROR_ENCODER_NOT_FOUND;
    // Full-range 4:2:0, as JPEG has it (the range said by the frames: the YUVJ formats are deprecated).
    SwsContext *sws = sws_getContext(frame->width, frame->height, (AVPixelFormat)frame->format, width, height,
                                     AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (sws) {
        const int *coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
        sws_setColorspaceDetails(sws, coefficients, frame->color_range == AVCOL_RANGE_JPEG, coefficients, 1, 0,
                                 1 << 16, 1 << 16);
    }
    AVCodecContext *enc = avcodec_alloc_context3(codec);
    AVFrame *small = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    int ret = sws && enc && small && pkt ? 0 : AVERROR(ENOMEM);
    if (ret == 0) {
        small->format = AV_PIX_FMT_YUV420P;
        small->color_range = AVCOL_RANGE_JPEG;
        small->width = width;
        small->height = height;
        ret = av_frame_get_buffer(small, 0);
    }
    if (ret == 0) {
        sws_scale(sws, frame->data, frame->linesize, 0, frame->height, small->data, small->linesize);
        enc->width = width;
        enc->height = height;
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        enc->color_range = AVCOL_RANGE_JPEG;
        enc->time_base = AVRational{1, 25};
        enc->thread_count = 1;
        enc->flags |= AV_CODEC_FLAG_QSCALE;
        enc->global_quality = FF_QP2LAMBDA * 4;
        small->quality = enc->global_quality;
        small->pts = 0;
        ret = avcodec_open2(enc, codec, nullptr);
    }
    if (ret >= 0)
        ret = avcodec_send_frame(enc, small);
    if (ret >= 0)
        ret = avcodec_receive_packet(enc, pkt);
    if (ret >= 0) {
        out->jpeg.assign((const char *)pkt->data, (size_t)pkt->size);
        out->width = width;
        out->height = height;
    }
    av_packet_free(&pkt);
    av_frame_free(&small);
    avcodec_free_context(&enc);
    sws_freeContext(sws);
    return ret < 0 ? ret : 0;
}

/* The lowest priority for the calling thread: nice 19 (not the idle class: on a busy host it never runs). */
void lower_priority(thumbs_ctx *t)
{
    int tid = (int)syscall(SYS_gettid);
    if (setpriority(PRIO_PROCESS, (id_t)tid, 19) != 0)
        log_printf(LOG_INFO, "%s: cannot lower the thread's priority: %s", "thumbs", strerror(errno));
    t->tid.store(tid);
}

void *thumbs_main(void *arg)
{
    thumbs_ctx *t = (thumbs_ctx *)arg;
    utils_name_thread("thumbs");
    try {
        lower_priority(t);
        int failed[THUMB_COUNT] = {};
        while (!t->stop.load()) {
            for (int k = 0; k < THUMB_COUNT; k++) {
                thumb_offer *o = t->slot[k].exchange(nullptr);
                if (!o)
                    continue;
                thumb_picture made;
                made.pts = o->pkt->pts;
                int ret = thumbs_picture(o->pkt, o->codec_id, THUMBS_WIDTH, &made);
                offer_free(o);
                if (ret < 0) {
                    char err[ERR_TEXT_SIZE] = {0};
                    if (!failed[k]++)  // one line per kind: a stream that never decodes says so once
                        log_printf(LOG_INFO, "%s: no %s thumbnail: %s", "thumbs", k == THUMB_INPUT ? "input" : "output",
                                   err_to_str(err, sizeof(err), ret));
                    continue;
                }
                made.made_ms = (int64_t)log_now_ms();
                std::lock_guard<std::mutex> guard(t->lock);
                t->pictures[k].jpeg.swap(made.jpeg);
                t->pictures[k].made_ms = made.made_ms;
                t->pictures[k].pts = made.pts;
                t->pictures[k].width = made.width;
                t->pictures[k].height = made.height;
            }
            usleep(THUMBS_TICK_MS * 1000);
        }
    } catch (...) {
        log_printf(LOG_ERROR, "%s: the thumbnail thread stopped: out of memory", "thumbs");
    }
    return nullptr;
}

} // namespace

int thumbs_picture(const AVPacket *pkt, int codec_id, int width, thumb_picture *out)
{
    if (!pkt || !out || width < 16)
        return AVERROR(EINVAL);
    AVFrame *frame = nullptr;
    int ret = decode_alone(pkt, codec_id, &frame);
    if (ret >= 0)
        ret = frame->width > 0 && frame->height > 0 ? encode_jpeg(frame, width & ~1, out) : AVERROR_INVALIDDATA;
    av_frame_free(&frame);
    return ret;
}

void thumbs_offer(void *opaque, int output, const AVPacket *pkt, const AVCodecParameters *par)
{
    thumbs_ctx *t = (thumbs_ctx *)opaque;
    int k = output ? THUMB_OUTPUT : THUMB_INPUT;
    if (!t || !pkt || !par || !t->running)
        return;
    int64_t now = monotonic_us();
    int64_t last = t->offered_at[k].load(std::memory_order_relaxed);
    if (last && now - last < (int64_t)THUMBS_PERIOD_MS * 1000)
        return;
    t->offered_at[k].store(now, std::memory_order_relaxed);
    thumb_offer *o = new (std::nothrow) thumb_offer();
    if (!o)
        return;
    o->codec_id = par->codec_id;
    /*
     * A copy of the data, not a reference: the relay and the demuxer's buffer
     * pool own and reuse theirs, and the library's reference counts are out
     * of the thread checker's sight. One key frame every few seconds.
     */
    o->pkt = av_packet_alloc();
    if (o->pkt && (av_new_packet(o->pkt, pkt->size) < 0 || av_packet_copy_props(o->pkt, pkt) < 0))
        av_packet_free(&o->pkt);
    else if (o->pkt)
        memcpy(o->pkt->data, pkt->data, pkt->size);
    if (!o->pkt) {
        delete o;
        return;
    }
    offer_free(t->slot[k].exchange(o));  // the one not taken yet, if any
}

int thumbs_get(thumbs_ctx *t, int kind, thumb_picture *out)
{
    if (!t || !out || kind < 0 || kind >= THUMB_COUNT)
        return -EINVAL;
    std::lock_guard<std::mutex> guard(t->lock);
    if (t->pictures[kind].jpeg.empty())
        return -ENODATA;
    *out = t->pictures[kind];
    return 0;
}

int thumbs_start(thumbs_ctx *t)
{
    if (!t)
        return -EINVAL;
    if (t->running)
        return 0;
    t->stop.store(0);
    int err = pthread_create(&t->thread, nullptr, thumbs_main, t);
    if (err != 0) {
        log_printf(LOG_ERROR, "%s: pthread_create failed: %s; no thumbnails", "thumbs_start", strerror(err));
        return -err;
    }
    t->running = 1;
    return 0;
}

void thumbs_stop(thumbs_ctx *t)
{
    if (!t || !t->running)
        return;
    t->stop.store(1);
    int tid = t->tid.load();
    errno = 0;
    int mine = getpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid));
    if (tid > 0 && errno == 0)
        setpriority(PRIO_PROCESS, (id_t)tid, mine);  // refused without the right: it finishes at its own pace
    pthread_join(t->thread, nullptr);
    t->running = 0;
    for (int k = 0; k < THUMB_COUNT; k++)
        offer_free(t->slot[k].exchange(nullptr));
}
