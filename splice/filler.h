/*
 * The filler recording in memory: every packet of the file, grouped by stream
 * index in file order, read once and never changed afterwards. Users read or
 * clone (av_packet_clone) the packets and never change or free them.
 */
#ifndef KESTROW_SPLICE_FILLER_H
#define KESTROW_SPLICE_FILLER_H

#include <atomic>
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavcodec/codec_id.h>
}

struct AVFormatContext;
struct AVPacket;

#define FILLER_MAX_STREAMS 16
#define FILLER_GROWTH      1024

struct filler_stream {
    int32_t count;
    int32_t capacity;   // multiple of FILLER_GROWTH
    AVPacket **packets; // null while the stream has no packet
};

struct filler_ctx {
    AVFormatContext *format;  // kept open: stream ids and start times
    filler_stream streams[FILLER_MAX_STREAMS];
};

/*
 * Reads the whole file at path into a new store in *out. Packets of streams
 * with an index of FILLER_MAX_STREAMS or more are not stored. Returns 0; -EINVAL
 * if out is null; -ENOMEM without memory; the library's code when the file cannot
 * be opened or probed; -EINTR as soon as stop (null: none) is set. On failure
 * *out is null and nothing stays allocated.
 */
int filler_load(const char *path, filler_ctx **out, const std::atomic<int> *stop = nullptr);

/*
 * Whether f can stand in for a programme at all: the MPEG-TS demuxer read
 * it (its streams replace the programme's, filler_match) and it holds packets of
 * a video stream of a known codec, where every break starts. Returns 0;
 * -EINVAL for a null argument; -ENODATA when it holds no packet at all;
 * -124 (EMEDIUMTYPE) without such a video stream. On failure why holds the
 * reason in words ("no packets", "no video stream the MPEG-TS demuxer can
 * read", followed by " (read as jpeg_pipe)" for a file of another format), cut
 * to size.
 */
int filler_usable(const filler_ctx *f, char *why, size_t size);

/* Whether a stream of codec a can stand in for one of codec b (the same, or both MPEG audio). */
bool filler_same_codec(enum AVCodecID a, enum AVCodecID b);

/*
 * The filler stream (index) that stands in for the programme's stream on PID
 * id, matched by kind and order whatever the PIDs: video to video (the one on
 * the same PID, else the one of the same rank among the videos, else the
 * first); audio to audio by language (the same rank among the streams of
 * that language), else the one on the same PID, else the one of the same
 * rank among the audio streams. Streams of the programme stream's codec are
 * tried first (ranks counted among that codec's), then any of its kind.
 * Only streams with packets count. With a null
 * programme id is taken for a video stream. -1 when none fits (a filler with
 * fewer audio streams than the programme: that stream is silent for the
 * break) or for a null filler.
 */
int filler_match(const filler_ctx *f, const AVFormatContext *programme, int id);

enum filler_difference {
    FILLER_NO_STREAM = 0,   // no filler stream matches the programme stream (filler_match)
    FILLER_OTHER_CODEC,
    FILLER_OTHER_SIZE,      // video: width x height
    FILLER_OTHER_RATE,      // audio: sample rate
};

/* One way in which the filler cannot replace a programme stream. */
struct filler_mismatch {
    int pid;                // the programme stream's PID
    int video;              // 1: video, 0: audio
    int difference;         // filler_difference
    int programme_value;    // codec id (AVCodecID), width or sample rate
    int filler_value;
    int programme_extra;    // height
    int filler_extra;
};

/*
 * Compares the filler's streams with programme's video and audio streams:
 * each one without a filler stream that matches it, or whose filler stream has
 * another codec, picture size or sample rate, is written to out (at most max
 * entries); a size or rate the programme's probe did not learn (a PID that
 * carries nothing yet, a key frame after the probe) is not compared. Returns
 * the number of differences found (which may exceed max);
 * -EINVAL for a null filler or programme, or a null out with max > 0.
 */
int filler_check(const filler_ctx *filler, const AVFormatContext *programme, filler_mismatch *out, int max);

/*
 * Words m for a log line into buf, e.g. "PID 0x100 (video): no filler
 * stream". Returns what snprintf returns; -EINVAL for a null argument.
 */
int filler_mismatch_text(const filler_mismatch *m, char *buf, size_t size);

/* As filler_mismatch_text, naming the recording what ("spot": "... in the spot, ... in the programme"). */
int filler_mismatch_text_as(const filler_mismatch *m, const char *what, char *buf, size_t size);

/* Frees the store and sets *p to null. 0; -EINVAL if p or *p is null. */
int filler_destroy(filler_ctx **p);

#endif
