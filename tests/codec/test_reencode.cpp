// The re-encoder on generated programmes, per codec and GOP shape: the
// pictures around a point in mid-GOP are re-encoded and joined to the
// programme (return: to its next key frame; out: after the pictures kept).
// The joined stream, written as MPEG-TS, decodes without an error; the
// re-encoded pictures are close to the programme's own decode, the others
// identical to it.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "codec/h264_join.h"
#include "codec/hevc_bla.h"
#include "codec/reencode.h"
#include "codec/splice_gop.h"
#include "lib/test_support.h"

/* libx265 keeps one block of its own for the life of the process. */
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libx265.so\n";
}

namespace {

const int64_t F = 3600;  // one frame at 25 Hz

struct Programme {
    AVCodecParameters *par = nullptr;
    std::vector<AVPacket *> pkts;  // video, decoding order
    ~Programme()
    {
        for (AVPacket *p : pkts)
            av_packet_free(&p);
        avcodec_parameters_free(&par);
    }
};

void read_programme(const std::string &path, Programme *prog)
{
    AVFormatContext *in = nullptr;
    ASSERT_EQ(0, avformat_open_input(&in, path.c_str(), nullptr, nullptr));
    ASSERT_GE(avformat_find_stream_info(in, nullptr), 0);
    int v = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    ASSERT_GE(v, 0);
    prog->par = avcodec_parameters_alloc();
    avcodec_parameters_copy(prog->par, in->streams[v]->codecpar);
    AVPacket *pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == v)
            prog->pkts.push_back(av_packet_clone(pkt));
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&in);
}

/* Decoded pictures by pts (the three planes packed); errors counts what the decoder reported. */
std::map<int64_t, std::vector<uint8_t>> decode(const AVCodecParameters *par, const std::vector<AVPacket *> &pkts,
                                               int *errors)
{
    std::map<int64_t, std::vector<uint8_t>> out;
    const AVCodec *codec = avcodec_find_decoder(par->codec_id);
    AVCodecContext *c = avcodec_alloc_context3(codec);
    avcodec_parameters_to_context(c, par);
    c->pkt_timebase = {1, 90000};
    c->thread_count = 1;
    avcodec_open2(c, codec, nullptr);
    AVFrame *f = av_frame_alloc();
    for (size_t i = 0; i <= pkts.size(); i++) {
        int ret = avcodec_send_packet(c, i < pkts.size() ? pkts[i] : nullptr);
        *errors += ret < 0;
        while (avcodec_receive_frame(c, f) >= 0) {
            *errors += f->decode_error_flags != 0;
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

double psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b)
{
    double se = 0;
    for (size_t i = 0; i < a.size() && a.size() == b.size(); i++)
        se += (double)(a[i] - b[i]) * (a[i] - b[i]);
    return a.size() != b.size() ? 0 : se == 0 ? 99 : 10 * log10(255.0 * 255.0 * a.size() / se);
}

/* Writes pkts as an MPEG-TS file; "" when the library's decoder, run by the ffmpeg command, reports no error. */
std::string write_and_check(const std::string &path, const AVCodecParameters *par, const std::vector<AVPacket *> &pkts)
{
    AVFormatContext *out = nullptr;
    avformat_alloc_output_context2(&out, nullptr, "mpegts", path.c_str());
    AVStream *st = avformat_new_stream(out, nullptr);
    avcodec_parameters_copy(st->codecpar, par);
    st->time_base = {1, 90000};
    avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE);
    int ret = avformat_write_header(out, nullptr);
    for (AVPacket *p : pkts) {
        AVPacket *c = av_packet_clone(p);
        c->stream_index = 0;
        ret = ret < 0 ? ret : av_write_frame(out, c);
        av_packet_free(&c);
    }
    ret = ret < 0 ? ret : av_write_trailer(out);
    avio_closep(&out->pb);
    avformat_free_context(out);
    if (ret < 0)
        return "muxer: " + std::to_string(ret);
    std::string err = path + ".err";
    std::system(("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>'" + err + "'").c_str());
    return kt::read_file(err);
}

/* Pictures of the packets for the bookkeeping: B when shown before a picture decoded earlier. */
std::vector<gop_pic> pictures(const std::vector<AVPacket *> &pkts)
{
    std::vector<gop_pic> pics;
    int64_t shown = INT64_MIN;
    for (AVPacket *p : pkts) {
        bool key = p->flags & AV_PKT_FLAG_KEY;
        pics.push_back({p->pts, p->dts, (uint8_t)key,
                        (uint8_t)(key ? GOP_PIC_I : p->pts < shown ? GOP_PIC_B : GOP_PIC_P), GOP_REFS_UNKNOWN});
        shown = std::max(shown, p->pts);
    }
    return pics;
}

/* Leaves out the parameter sets of an H.264 or HEVC packet, as a feed that sends them apart from its key frames. */
void strip_params(AVPacket *pkt, bool hevc)
{
    const uint8_t *d = pkt->data;
    std::vector<size_t> starts, heads;
    for (size_t i = 0; i + 3 < (size_t)pkt->size; i++) {
        if (!d[i] && !d[i + 1] && d[i + 2] == 1) {
            starts.push_back(i > 0 && !d[i - 1] ? i - 1 : i);
            heads.push_back(i + 3);
            i += 2;
        }
    }
    std::vector<uint8_t> kept;
    for (size_t k = 0; k < starts.size(); k++) {
        int type = hevc ? (d[heads[k]] >> 1) & 0x3F : d[heads[k]] & 0x1F;
        if (hevc ? type < 32 || type > 34 : type != 7 && type != 8)
            kept.insert(kept.end(), d + starts[k], d + (k + 1 < starts.size() ? starts[k + 1] : pkt->size));
    }
    ASSERT_EQ(0, av_packet_make_writable(pkt));
    memcpy(pkt->data, kept.data(), kept.size());
    av_shrink_packet(pkt, (int)kept.size());
}

struct Row {
    const char *name;
    const char *gen;  // kestrow_gen.py options
    int gop;          // frames
};

const Row rows[] = {
    {"h264_ippp_1s", "--bframes 0 --gop 25", 25},
    {"h264_ibbp_2s", "--bframes 2 --gop 50", 50},
    {"h264_open_1s", "--bframes 2 --gop 24 --open-gop", 24},
    {"hevc_ibbp_1s", "--video-codec hevc --bframes 2 --gop 25", 25},
    {"mpeg2_ibbp_2s", "--video-codec mpeg2 --bframes 2 --gop 50", 50},
    {"mpeg2_open_1s", "--video-codec mpeg2 --bframes 2 --gop 24 --open-gop", 24},
};

TEST(Reencode, JoinsMidGopPerCodec)
{
    kt::TempDir dir;
    av_log_set_level(AV_LOG_ERROR);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::string ts = dir / (std::string(row.name) + ".ts");
        std::string gen = std::string(row.gen) + " --audio none --duration " + std::to_string(row.gop * 3 / 25 + 1);
        std::string cmd = std::string("python3 ") + KESTROW_TOOLS_DEFAULT + "/kestrow_gen.py " + ts + " " + gen;
        ASSERT_EQ(0, std::system((cmd + " >" + ts + ".log 2>&1").c_str())) << kt::read_file(ts + ".log");
        Programme prog;
        read_programme(ts, &prog);
        int errors = 0;
        std::vector<AVPacket *> from_key;
        int k0 = -1, keys = 0;
        for (size_t i = 0; i < prog.pkts.size(); i++) {
            keys += (prog.pkts[i]->flags & AV_PKT_FLAG_KEY) != 0;
            if (keys == 2 && k0 < 0)
                k0 = (int)i;
            // The key frame's leading pictures reference the GOP before it: not part of the run.
            if (k0 >= 0 && prog.pkts[i]->pts >= prog.pkts[k0]->pts)
                from_key.push_back(prog.pkts[i]);
        }
        ASSERT_GT(k0, 0);
        std::map<int64_t, std::vector<uint8_t>> original = decode(prog.par, from_key, &errors);
        std::vector<gop_pic> pics = pictures(from_key);
        int64_t point = pics[0].pts + (row.gop / 2 + 1) * F;

        for (int side : {GOP_IN, GOP_OUT}) {
            SCOPED_TRACE(side == GOP_IN ? "in" : "out");
            std::vector<uint8_t> act(pics.size());
            std::vector<int64_t> dts(pics.size());
            gop_plan plan;
            ASSERT_EQ(0, splice_gop_plan(pics.data(), (int)pics.size(), side, point, F / 2, act.data(), dts.data(), &plan));
            if (side == GOP_IN) {
                ASSERT_GT(plan.reencoded, 0);
            }
            if (plan.reencoded == 0)  // an out point after an anchor without B-pictures behind it
                continue;
            reencode *r = nullptr;
            ASSERT_EQ(0, reencode_create(&r, prog.par, {25, 1}, 0, 0));
            std::vector<AVPacket *> run(plan.reencoded);
            if (side == GOP_OUT) {
                // As the splice rules get them: which pictures the run takes is known once those after the point are.
                ASSERT_EQ(0, reencode_begin(r, INT64_MAX, 0, 0));
                ASSERT_EQ(0, reencode_prepare(r, 2000000));  // the encoder opens on its own thread meanwhile
                reencode_hold(r, 8);
                for (int i = 0; i < plan.decode_to; i++)
                    ASSERT_EQ(0, reencode_feed(r, from_key[i], plan.run_to));
                // Live, the run is encoded on a thread of its own while the packets go on.
                ASSERT_EQ(0, reencode_finish_async(r, plan.run_from, plan.run_to, 0));
                AVPacket *early = nullptr;
                EXPECT_EQ(AVERROR(EAGAIN), reencode_take(r, &early));  // waits for the run, leaves it to collect
                EXPECT_TRUE(reencode_finished(r));
                int n = 0;
                ASSERT_EQ(0, reencode_collect(r, run.data(), plan.reencoded, &n));
                ASSERT_EQ(plan.reencoded, n);
                for (int k = 0; k < plan.reencoded; k++)
                    run[k]->dts = dts[k];
            } else {
                // As the relay gets them: the key frame the run joins is known only when it is read.
                int64_t lead = 0, to = INT64_MAX;
                for (const gop_pic &p : pics)
                    lead = std::max(lead, p.pts - p.dts);
                // A run given up while the thread still works on it (a late return) ends there, the caller
                // not waiting; the next one starts afresh.
                ASSERT_EQ(0, reencode_begin(r, plan.run_from, lead, 2000000));
                ASSERT_EQ(0, reencode_pipe(r, true));
                for (int i = 0; i < plan.decode_to; i++)
                    ASSERT_EQ(0, reencode_feed(r, from_key[i], INT64_MAX));
                ASSERT_EQ(0, reencode_finish(r, INT64_MAX));
                reencode_abort(r);
                // Live, it is decoded and encoded on the re-encoder's thread, handed over as it comes.
                ASSERT_EQ(0, reencode_begin(r, plan.run_from, lead, 2000000));
                ASSERT_EQ(0, reencode_pipe(r, true));
                for (int i = 0; i < plan.decode_to; i++) {
                    to = i == plan.join_key ? pics[i].pts : to;
                    ASSERT_EQ(0, reencode_feed(r, from_key[i], to));
                }
                ASSERT_EQ(0, reencode_finish(r, to));
                ASSERT_EQ(0, reencode_pipe(r, false));
                EXPECT_TRUE(reencode_pipe_idle(r));
                for (AVPacket *&p : run)
                    ASSERT_EQ(0, reencode_take(r, &p));
                AVPacket *extra = nullptr;
                EXPECT_EQ(AVERROR(EAGAIN), reencode_take(r, &extra));
            }
            EXPECT_TRUE(run[0]->flags & AV_PKT_FLAG_KEY);

            // The joined stream: in, the run then the programme from its key frame; out, the kept pictures then the run.
            std::vector<AVPacket *> joined;
            h264_join join;
            h264_join_init(&join);
            for (size_t i = 0; i < from_key.size(); i++) {
                if (side == GOP_IN && (int)i == plan.join_key)
                    joined.insert(joined.end(), run.begin(), run.end());
                if (act[i] != GOP_KEEP)
                    continue;
                AVPacket *p = av_packet_clone(from_key[i]);
                if ((int)i == plan.join_key) {
                    if (prog.par->codec_id != AV_CODEC_ID_MPEG2VIDEO)
                        strip_params(p, prog.par->codec_id == AV_CODEC_ID_HEVC);
                    EXPECT_EQ(0, reencode_key_params(r, p));
                    if (prog.par->codec_id == AV_CODEC_ID_H264)
                        h264_join_switch(&join);
                    if (prog.par->codec_id == AV_CODEC_ID_HEVC) {
                        EXPECT_EQ(0, hevc_broken_link(p));
                    }
                }
                joined.push_back(p);
            }
            if (side == GOP_OUT)
                joined.insert(joined.end(), run.begin(), run.end());
            for (AVPacket *p : joined) {
                if (prog.par->codec_id == AV_CODEC_ID_H264) {
                    EXPECT_EQ(0, h264_join_packet(&join, p));
                }
            }
            h264_join_uninit(&join);
            reencode_destroy(&r);

            EXPECT_EQ("", write_and_check(dir / "joined.ts", prog.par, joined));
            std::map<int64_t, std::vector<uint8_t>> got = decode(prog.par, joined, &errors);
            EXPECT_EQ(0, errors);
            int checked = 0, identical = 0;
            for (auto &[pts, pic] : got) {
                ASSERT_TRUE(original.count(pts)) << pts;
                bool rerun = pts >= plan.run_from && pts < plan.run_to;
                if (rerun) {
                    EXPECT_GE(psnr(original[pts], pic), 38.0) << pts;
                } else {
                    identical += original[pts] == pic;
                }
                checked += rerun;
                EXPECT_EQ(side == GOP_IN, pts >= point) << pts;  // the programme shown at or after the point, or before it
            }
            EXPECT_EQ(plan.reencoded, checked);
            EXPECT_EQ((int)got.size() - checked, identical);
            for (AVPacket *p : joined)
                av_packet_free(&p);
        }
    }
}

TEST(Reencode, RefusesWhatItCannotMatch)
{
    struct {
        AVCodecID codec;
        int profile;
        AVPixelFormat format;
        int expect;
    } cases[] = {
        {AV_CODEC_ID_H264, FF_PROFILE_H264_HIGH, AV_PIX_FMT_YUV420P, 0},
        {AV_CODEC_ID_H264, FF_PROFILE_H264_EXTENDED, AV_PIX_FMT_YUV420P, REENCODE_UNMATCHED},
        {AV_CODEC_ID_H264, FF_PROFILE_H264_HIGH, AV_PIX_FMT_YUV410P, REENCODE_UNMATCHED},
        {AV_CODEC_ID_HEVC, FF_PROFILE_HEVC_REXT, AV_PIX_FMT_YUV444P, REENCODE_UNMATCHED},
        {AV_CODEC_ID_MPEG2VIDEO, FF_PROFILE_MPEG2_HIGH, AV_PIX_FMT_YUV420P, REENCODE_UNMATCHED},
        {AV_CODEC_ID_MPEG4, FF_PROFILE_UNKNOWN, AV_PIX_FMT_YUV420P, REENCODE_UNMATCHED},
    };
    for (auto &c : cases) {
        AVCodecParameters *par = avcodec_parameters_alloc();
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = c.codec;
        par->profile = c.profile;
        par->format = c.format;
        par->width = 320;
        par->height = 240;
        reencode *r = nullptr;
        EXPECT_EQ(c.expect, reencode_create(&r, par, {25, 1}, 0, 0)) << avcodec_get_name(c.codec);
        EXPECT_EQ(c.expect == 0, r != nullptr);
        reencode_destroy(&r);
        avcodec_parameters_free(&par);
    }
}

}  // namespace
