/*
 * Conforming: a spot (or filler) file as an agency delivers it, in any
 * container and codec the FFmpeg libraries read, turned into an MPEG-TS
 * file in the channel's own format, as loud as the programme.
 *
 * The channel's format (conform_target) is taken from the programme's
 * streams: its video codec, profile, level, size, sample aspect, frame
 * rate, field order and bit rate; each audio stream's codec, sample rate,
 * channel layout and language; every stream's PID. A file is decoded,
 * scaled with its display aspect kept and padded, brought to the frame
 * rate and field order, encoded with closed GOPs from a key frame; each
 * programme audio stream takes the spot's stream of its language (where
 * both are tagged), else the spot's stream in the same place (else its
 * first), down- or upmixed and resampled, or silence where the spot has no
 * audio. Loudness is measured first (ITU-R BS.1770 integrated loudness and
 * true peak, libavfilter's ebur128) and a linear gain brings each stream
 * to the target, lowered where the true peak would pass -1 dBTP.
 *
 * Every copy lasts a whole number of the channel's pictures: the length
 * asked for (a spot's scheduled length), to the picture, whatever the
 * source's rate: its pictures brought to the channel's rate from time 0,
 * the last one held or the ones past the end left out, and every audio
 * stream exactly as many samples long. A source shorter than that length
 * by more than CONFORM_LENGTH_TOLERANCE keeps its own length (whoever
 * schedules it refuses it); without a length asked for, the copy lasts the
 * source's own pictures to the nearest picture of the channel.
 *
 * A file whose video is already in the channel's format (codec, profile,
 * size, pixel format, sample aspect, rate, field order, and as many
 * pictures as the copy lasts) keeps its pictures as they are: an MPEG-TS
 * file with the channel's PIDs and audio, within CONFORM_TOLERANCE of the
 * target, is copied as it is (checked); any other has its pictures
 * multiplexed as they are and only its sound conformed (remuxed).
 *
 * The cache (conform_cached, conform_run) keeps each conformed file as
 * <cache>/<name>.ts beside a small text record <cache>/<name>.txt: the
 * source's size, time and content hash, the format it was conformed to,
 * the outcome and the loudness before and after. A source whose content
 * changed, or a new target, is conformed again.
 *
 * Nothing here prints; the work blocks and is meant for a thread of its own.
 */
#ifndef KESTROW_CONFORM_CONFORM_H
#define KESTROW_CONFORM_CONFORM_H

#include <atomic>
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/rational.h>
}

struct AVFormatContext;

#define CONFORM_MAX_AUDIO 8
#define CONFORM_WHY_SIZE  192
#define CONFORM_PATH_SIZE 1024
#define CONFORM_TOLERANCE 2.0   // LU: a file in the channel's format this close to the target is left as it is (A/85's tolerance)
#define CONFORM_TRUE_PEAK (-1.0) // dBTP at most after the gain
#define CONFORM_SILENT    (-70.0) // LUFS: what ebur128 reports for silence
#define CONFORM_LENGTH_TOLERANCE 0.1 // s: a source up to this much shorter than its length has its last picture held

/* The code conform_cached returns for a source whose conforming failed (its record says why). */
#define CONFORM_ERR_FAILED (-ENOMSG)

struct conform_video {
    int pid;
    int codec_id;             // AVCodecID
    int profile, level;       // FF_PROFILE_*; FF_LEVEL_UNKNOWN
    int width, height;
    int pix_fmt;              // AVPixelFormat
    AVRational sar;           // 1:1 when the programme says nothing
    AVRational fps;
    int field_order;          // AVFieldOrder
    int64_t bit_rate;         // bit/s; 0: from the picture size
};

struct conform_audio {
    int pid;
    int codec_id;             // AVCodecID
    int sample_rate;
    int channels;             // with the default layout of that many channels
    int64_t bit_rate;         // bit/s, to 16 kbit/s (the programme's rate as probed varies); 0: the encoder's choice by channels
    char language[4];         // ISO 639-2, "" when untagged
};

struct conform_target {
    conform_video video;
    int audio_count;
    conform_audio audio[CONFORM_MAX_AUDIO];
    double lufs;              // integrated loudness to reach
    double length;            // seconds a copy lasts (a spot's scheduled length); 0: the source's own
};

enum conform_status {
    CONFORM_NONE = 0,         // nothing done yet
    CONFORM_CONFORMED,        // re-encoded into the channel's format
    CONFORM_CHECKED,          // already in the channel's format: copied as it is
    CONFORM_FAILED,           // cannot be conformed (why says)
    CONFORM_REMUXED,          // its pictures kept as they are, its sound conformed
    CONFORM_STATUS_COUNT
};

struct conform_result {
    int status;               // conform_status
    double before;            // LUFS of the loudest programme audio stream as delivered; CONFORM_SILENT: no audio
    double after;             // LUFS after the gain (the same stream)
    double peak;              // dBTP after the gain
    double seconds;           // length of its pictures (the copy's)
    double source_seconds;    // length of the source's pictures
    int64_t pictures;         // pictures of the copy
    double cpu_seconds;       // process CPU time the work took
    char why[CONFORM_WHY_SIZE];  // why it cannot be conformed; for a copy re-encoded, what changed its pictures
};

/* Called with the share done, 0 to 1. */
typedef void (*conform_progress_fn)(void *opaque, double done);

struct conform_options {
    conform_progress_fn progress;  // may be null
    void *opaque;
    const std::atomic<int> *stop;  // may be null; non-zero ends the work (-EINTR)
};

/*
 * The channel's format from programme (the spliced streams, each with its
 * PID as id: the first video and up to CONFORM_MAX_AUDIO audio streams),
 * whose frame rate and language are looked up by PID in input (the opened
 * input; may be null), to loudness lufs. 0; -22 without a video stream.
 */
int conform_target_from(const AVFormatContext *programme, const AVFormatContext *input, double lufs,
                        conform_target *out);

/*
 * The channel's format from a recording of the channel at path (its first
 * video stream and its audio streams, by PID), to loudness lufs. 0; the
 * library's code when it cannot be read; -22 without a video stream.
 */
int conform_target_from_file(const char *path, double lufs, conform_target *out);

/*
 * Keeps the target (the channel's format, loudness and length aside) in
 * the text file at path, written through path.part and renamed. 0 or -errno.
 */
int conform_target_save(const char *path, const conform_target *t);

/*
 * The target kept at path, to loudness lufs. 0; -errno when it cannot be
 * read; -EINVAL when the file is not one conform_target_save wrote.
 */
int conform_target_load(const char *path, double lufs, conform_target *out);

/* A short text of the target ("h264 640x360 25 fps, aac 48000 Hz 1 ch, ..."), for a log line. */
void conform_target_text(const conform_target *t, char *buf, size_t size);

/*
 * Conforms the file src into the MPEG-TS file dst (written through
 * dst.part, renamed when whole) to target t. Fills *res (also on failure,
 * with why). 0; -EINTR when stopped; a negative code otherwise.
 */
int conform_file(const char *src, const char *dst, const conform_target *t, conform_result *res,
                 const conform_options *opt);

/*
 * Measures the file src as it is: the integrated loudness of its loudest
 * audio stream into res->before (CONFORM_SILENT without audio), the true
 * peak of all into res->peak, the length of its pictures into res->seconds
 * (0 without video). 0; -EINTR when stopped; a negative code with res->why.
 */
int conform_measure(const char *src, conform_result *res, const conform_options *opt);

/*
 * Finds the file of id in dir: <id>.<any extension> (an MPEG-TS .ts first
 * when several), or the id without its leading zeros. Its name goes into
 * name. 0; -2 (ENOENT) when none is there.
 */
int conform_find_source(const char *dir, const char *id, char *name, size_t size);

/* The cache folder kept beside the files of dir: <dir>/.conformed. */
void conform_cache_dir(const char *dir, char *buf, size_t size);

/*
 * Looks up the conformed copy of <dir>/<name> in cache: 0 when its record
 * is for this source as it is now (and for t, when t is given), with the
 * copy's path in ts_path (size bytes) and the outcome in *res;
 * CONFORM_ERR_FAILED when that outcome was a failure (res->why says);
 * -EAGAIN when there is none for it (or the source changed since);
 * -2 when the source is not there.
 */
int conform_cached(const char *dir, const char *name, const char *cache, const conform_target *t,
                   conform_result *res, char *ts_path, size_t size);

/*
 * Conforms <dir>/<name> into cache unless conform_cached finds it done:
 * the outcome in *res and its record written (a failure too, so that it is
 * not tried again until the source changes). 0, or 1 when the cache had it
 * already; CONFORM_ERR_FAILED; -EINTR when stopped (nothing recorded);
 * -2 when there is no source.
 */
int conform_run(const char *dir, const char *name, const char *cache, const conform_target *t,
                conform_result *res, const conform_options *opt);

/*
 * The gain in dB that brings a stream of integrated loudness (LUFS) and
 * true peak (dBTP; not finite: unknown) to lufs, lowered where the peak
 * would pass CONFORM_TRUE_PEAK; 0 for silence (CONFORM_SILENT).
 */
double conform_gain(double integrated, double peak, double lufs);

/* "conformed", "checked", "failed", "remuxed", "none". */
const char *conform_status_name(int status);

#endif
