/*
 * Conditions one splice point of a recording and measures it, for
 * bench_reencode.py:
 *
 *     kestrow_reencode_point FILE in|out OFFSET
 *
 * The point is OFFSET frames after the recording's second key frame. The
 * pictures the point needs re-encoded (codec/splice_gop.h) are decoded and
 * encoded again (codec/reencode.h); the CPU (user + system) and wall time
 * of that are measured, and the run is compared with the programme's own
 * decode. Prints one line: reencoded=N cpu=S wall=S psnr_min=DB psnr_avg=DB.
 * Exit status 0, 1 when the point could not be conditioned (reason on
 * standard error).
 */
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sys/resource.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/reencode.h"
#include "codec/splice_gop.h"

static double cpu_seconds()
{
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

/* The luma and chroma planes of each picture pkts decode to, by pts. */
static std::map<int64_t, std::vector<uint8_t>> decode(const AVCodecParameters *par, const std::vector<AVPacket *> &pkts)
{
    std::map<int64_t, std::vector<uint8_t>> out;
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext *c = avcodec_alloc_context3(codec);
    AVFrame *f = av_frame_alloc();
    avcodec_parameters_to_context(c, par);
    c->pkt_timebase = {1, 90000};
    if (avcodec_open2(c, codec, nullptr) < 0)
        return out;
    for (size_t i = 0; i <= pkts.size(); i++) {
        avcodec_send_packet(c, i < pkts.size() ? pkts[i] : nullptr);
        while (avcodec_receive_frame(c, f) >= 0) {
            std::vector<uint8_t> &pic = out[f->best_effort_timestamp];
            for (int p = 0; p < 3; p++) {
                int h = p ? AV_CEIL_RSHIFT(f->height, 1) : f->height, w = p ? AV_CEIL_RSHIFT(f->width, 1) : f->width;
                for (int y = 0; y < h; y++)
                    pic.insert(pic.end(), f->data[p] + y * f->linesize[p], f->data[p] + y * f->linesize[p] + w);
            }
        }
    }
    av_frame_free(&f);
    avcodec_free_context(&c);
    return out;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s FILE in|out OFFSET\n", argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    AVFormatContext *in = nullptr;
    if (avformat_open_input(&in, argv[1], nullptr, nullptr) < 0 || avformat_find_stream_info(in, nullptr) < 0) {
        fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    int v = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (v < 0)
        return 2;
    AVStream *st = in->streams[v];
    AVRational rate = st->avg_frame_rate.num ? st->avg_frame_rate : st->r_frame_rate;
    int64_t frame = av_rescale(90000, rate.den, rate.num);

    // The packets from the second key frame on, without its leading pictures (they need the GOP before it).
    std::vector<AVPacket *> pkts;
    AVPacket *pkt = av_packet_alloc();
    int keys = 0;
    int64_t key_pts = 0;
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == v && (keys += (pkt->flags & AV_PKT_FLAG_KEY) != 0) >= 2) {
            if (pkts.empty())
                key_pts = pkt->pts;
            if (pkt->pts >= key_pts)
                pkts.push_back(av_packet_clone(pkt));
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);

    std::vector<gop_pic> pics;
    int64_t shown = INT64_MIN;
    for (AVPacket *p : pkts) {
        bool key = p->flags & AV_PKT_FLAG_KEY;
        pics.push_back({p->pts, p->dts, (uint8_t)key,
                        (uint8_t)(key ? GOP_PIC_I : p->pts < shown ? GOP_PIC_B : GOP_PIC_P), GOP_REFS_UNKNOWN});
        shown = p->pts > shown ? p->pts : shown;
    }
    int side = argv[2][0] == 'i' ? GOP_IN : GOP_OUT;
    int64_t point = key_pts + atoi(argv[3]) * frame;
    std::vector<uint8_t> act(pics.size());
    std::vector<int64_t> dts(pics.size());
    gop_plan plan;
    int ret = pics.empty() ? AVERROR(EINVAL)
                           : splice_gop_plan(pics.data(), (int)pics.size(), side, point, frame / 2, act.data(),
                                             dts.data(), &plan);
    if (ret < 0 || plan.reencoded == 0) {
        fprintf(stderr, "no picture to re-encode (%d)\n", ret);
        return 1;
    }

    reencode *r = nullptr;
    std::vector<AVPacket *> run(plan.reencoded);
    double cpu = cpu_seconds();
    auto wall = std::chrono::steady_clock::now();
    ret = reencode_create(&r, st->codecpar, rate, 0, 0);
    if (ret >= 0)
        ret = reencode_run(r, pkts.data(), plan.decode_to, plan.run_from, plan.run_to, dts.data(), plan.reencoded,
                           run.data());
    cpu = cpu_seconds() - cpu;
    double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    reencode_destroy(&r);
    if (ret < 0) {
        fprintf(stderr, "re-encoding failed: %d\n", ret);
        return 1;
    }

    // The run's pictures against the programme's decode (the run decodes alone: it starts with an IDR).
    std::vector<AVPacket *> head(pkts.begin(), pkts.begin() + plan.decode_to);
    std::map<int64_t, std::vector<uint8_t>> original = decode(st->codecpar, head), got = decode(st->codecpar, run);
    double worst = 99, sum = 0;
    for (auto &[pts, pic] : got) {
        const std::vector<uint8_t> &o = original[pts];
        double se = 0;
        for (size_t i = 0; i < pic.size() && o.size() == pic.size(); i++)
            se += (double)(o[i] - pic[i]) * (o[i] - pic[i]);
        double db = o.size() != pic.size() ? 0 : se == 0 ? 99 : 10 * log10(255.0 * 255.0 * pic.size() / se);
        worst = db < worst ? db : worst;
        sum += db;
    }
    int64_t run_bytes = 0, orig_bytes = 0;
    for (AVPacket *p : run)
        run_bytes += p->size;
    for (size_t i = 0; i < pics.size(); i++)
        orig_bytes += act[i] == GOP_REENCODE ? pkts[i]->size : 0;
    printf("reencoded=%d decoded=%d cpu=%.3f wall=%.3f psnr_min=%.2f psnr_avg=%.2f bytes=%lld orig_bytes=%lld\n",
           plan.reencoded, plan.decode_to, cpu, wall_s, worst, got.empty() ? 0 : sum / got.size(),
           (long long)run_bytes, (long long)orig_bytes);
    for (AVPacket *p : run)
        av_packet_free(&p);
    for (AVPacket *p : pkts)
        av_packet_free(&p);
    avformat_close_input(&in);
    return got.size() == (size_t)plan.reencoded ? 0 : 1;
}
