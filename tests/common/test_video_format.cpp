/*
 * The picture format an encoder is opened for: an encoder set up with it
 * opens, and its stream says the format back.
 */
#include "common/video_format.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

namespace {

TEST(VideoFormat, AnEncoderOpensForItAndItsStreamSaysIt)
{
    struct { AVCodecID codec; video_format f; bool fields; } rows[] = {
        {AV_CODEC_ID_MPEG2VIDEO, {720, 576, AV_PIX_FMT_YUV420P, {16, 15}, {25, 1}, AV_FIELD_TT, 0}, true},
        {AV_CODEC_ID_MPEG2VIDEO, {352, 288, AV_PIX_FMT_YUV420P, {1, 1}, {30000, 1001}, AV_FIELD_BT, 0}, true},
        {AV_CODEC_ID_H264, {320, 240, AV_PIX_FMT_YUV420P, {1, 1}, {50, 1}, AV_FIELD_PROGRESSIVE, 31}, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(avcodec_get_name(r.codec));
        const AVCodec *codec = avcodec_find_encoder(r.codec);
        ASSERT_NE(nullptr, codec);
        AVCodecContext *c = avcodec_alloc_context3(codec);
        AVDictionary *opts = nullptr;
        video_format_setup(c, &r.f, &opts);
        EXPECT_EQ(r.fields, (c->flags & AV_CODEC_FLAG_INTERLACED_DCT) != 0);
        EXPECT_NE(0, c->flags & AV_CODEC_FLAG_CLOSED_GOP);
        EXPECT_EQ(0, av_cmp_q(av_inv_q(r.f.fps), c->time_base));
        EXPECT_EQ(r.f.level > 0 ? r.f.level : FF_LEVEL_UNKNOWN, c->level);
        ASSERT_EQ(0, avcodec_open2(c, codec, &opts));
        EXPECT_EQ(0, av_dict_count(opts));  // every option taken
        AVCodecParameters *par = avcodec_parameters_alloc();
        ASSERT_LE(0, avcodec_parameters_from_context(par, c));
        EXPECT_EQ(r.f.width, par->width);
        EXPECT_EQ(r.f.height, par->height);
        EXPECT_EQ(r.f.pix_fmt, par->format);
        EXPECT_EQ(0, av_cmp_q(r.f.sar, par->sample_aspect_ratio));
        EXPECT_EQ(r.f.field_order, par->field_order);
        avcodec_parameters_free(&par);
        avcodec_free_context(&c);
        av_dict_free(&opts);
    }
}

} // namespace
