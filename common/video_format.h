/*
 * The picture format an encoder is opened for, whoever opens it: the
 * conforming of spots and fillers (the channel's format) and the re-encoding
 * of a frame-accurate splice (the programme's own pictures). What the
 * encoder then makes of its pictures (rate, GOP, preset) is the caller's.
 */
#ifndef KESTROW_COMMON_VIDEO_FORMAT_H
#define KESTROW_COMMON_VIDEO_FORMAT_H

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecContext;
struct AVDictionary;

struct video_format {
    int width, height;
    int pix_fmt;             // AVPixelFormat
    AVRational sar;
    AVRational fps;          // the pictures are numbered at this rate (MPEG-2 takes no other time base)
    int field_order;         // AVFieldOrder: coded as fields for every order but progressive and unknown
    int level;               // > 0: the level the stream keeps; else the encoder's choice
};

/*
 * Sets the encoder context c (allocated for its encoder) up for f: size,
 * pixel format, sample aspect, frame rate and a time base of one picture,
 * field order and field coding, level, and closed GOPs (a spliced or
 * conformed stream is entered at its key frames), with the options the
 * encoder needs for them added to *opts (MPEG-2's refuses closed GOPs with
 * its scene-cut detection on).
 */
void video_format_setup(AVCodecContext *c, const video_format *f, AVDictionary **opts);

#endif
