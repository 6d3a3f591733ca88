/*
 * The encoder's side of a picture format.
 */
#include "common/video_format.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
}

void video_format_setup(AVCodecContext *c, const video_format *f, AVDictionary **opts)
{
    c->width = f->width;
    c->height = f->height;
    c->pix_fmt = (AVPixelFormat)f->pix_fmt;
    c->sample_aspect_ratio = f->sar;
    c->framerate = f->fps;
    c->time_base = av_inv_q(f->fps);
    c->field_order = (AVFieldOrder)f->field_order;
    if (f->field_order != AV_FIELD_PROGRESSIVE && f->field_order != AV_FIELD_UNKNOWN)
        c->flags |= AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME;
    if (f->level > 0)
        c->level = f->level;
    c->flags |= AV_CODEC_FLAG_CLOSED_GOP;
    if (c->codec_id == AV_CODEC_ID_MPEG2VIDEO)
        av_dict_set(opts, "sc_threshold", "1000000000", 0);
}
