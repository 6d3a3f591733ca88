/*
 * kestrow_check --pictures: judges an output picture by picture, as a viewer
 * sees it, against the programme it was made from and the fillers (and
 * spots) that may have aired in its breaks.
 *
 *   kestrow_check --pictures OUTPUT --input INPUT [--filler FILE ...]
 *                 [--asrun FILE] [--point START[:END] ...] [--pid PID]
 *                 [--json] [--verbose]
 *
 * Each file's video (OUTPUT: the stream on --pid, else its first video
 * stream the probe saw pictures of; INPUT: the stream on the output's PID,
 * else the same choice; a filler: the same choice) is decoded by libavcodec
 * at its defaults on one thread, so that two decodings of a file give the
 * same pictures in the same order (display order). Every picture gets a
 * 64-bit hash of all its samples and a 32x18 thumbnail of its luma; full
 * pictures are decoded again only where no hash settles a comparison. Each
 * output picture is classed:
 *   own        the programme's picture of its time, identical (same hash, or
 *              a PSNR of 99 dB or more over all planes)
 *   reencoded  the programme's picture of its time, not identical: 20 dB or
 *              more against it, and not nearer to a filler picture
 *   filler     a picture of a filler: same hash, or 20 dB or more against the
 *              best of the filler pictures nearest by thumbnail (fillers are
 *              re-timed in the output, so they are found by content)
 *   other      none of these, or a picture the decoder flagged as damaged
 *              (corrupt, concealed) that is not identical
 * Times: the output may carry the input's times moved by a constant (a live
 * relay's own clock) that changes at a restart. The offset is found on
 * content: the most common (output pts - input pts) over the first 50
 * output pictures identical to an input picture (of several identical ones,
 * the nearest in time); a new offset from the first of 3 output pictures in
 * a row identical to input pictures at it, the first to none at the offset
 * in force (of several, the nearest to the rank after the last matched). All
 * times are 90 kHz modulo 2^33.
 * A break is a run of output pictures that are not the programme's, with at
 * least one filler picture; it replaces the programme's pictures between the
 * programme pictures shown around it (to the end of the programme when the
 * output ends in it, from its start when the output begins with it). Holes
 * are the programme's pictures that the output does not show and no break
 * replaces, from the first to the last programme picture at the time of an
 * output picture that is not filler (the span): a picture lost, or shown as
 * an other picture, is a hole. Announced breaks come from the as-run file
 * (each break_start: its splice_time, ending at splice_time + duration, at
 * an earlier return record's splice_time for its event, or at the next
 * break's splice_time when it ended at the next event) and from --point
 * (90 kHz on the output's clock, as the as-run gives them); each is matched
 * to the detected break nearest it, up to 20 s away. Frames off at the
 * start: the rank (in the programme's display order) of the first programme
 * picture the break replaced minus that of the programme's first picture at
 * or after the point; at the return: the rank of the programme's first
 * picture after the break minus that of the first at or after the end. 0 is
 * exact; below 0 early, above 0 late. A break on its announced pictures has
 * 0 at both ends and no picture missing (a time of the pictures it replaced
 * at which the output shows none, the picture before it frozen).
 * Decoding errors of a file: all its decoder reported: error returns,
 * pictures flagged (AV_FRAME_FLAG_CORRUPT, decode_error_flags) and lines
 * logged at error level (the H.264 decoder flags no picture for a missing
 * reference, it only says so); error_lines: the lines alone.
 *
 * --json prints one object:
 *   mode "pictures", output, input, fillers [paths], pid {output, input},
 *   totals {pictures_in, pictures_out, own, reencoded, reencoded_min_db,
 *     reencoded_mean_db, filler, filler_min_db, other, holes, duplicates
 *     (programme pictures shown more than once, each time past the first),
 *     decode_errors_in, decode_errors_out, error_lines_in, error_lines_out,
 *     offset (the first offset: output - input pts, signed)},
 *   offsets [{from_pts, offset}] (each offset, from the output time of its
 *     first picture),
 *   span {first_pts, last_pts} (input times; null when no output picture
 *     lies at a programme picture's time),
 *   breaks [{before_pts, after_pts (input times of the programme pictures
 *     shown around it; null at an end of the output), first_pts, last_pts
 *     (output times of its first and last picture), pictures, filler, other,
 *     missing (programme pictures it replaced at whose time the output shows
 *     no picture at all, the previous one frozen; null at an end),
 *     filler_first {file, picture} (its first filler picture: the filler's
 *     rank among the --filler options, the picture's in the filler's display
 *     order), point, end (the announced break matched, output clock; null
 *     when none), frames_off_start, frames_off_end (null when not
 *     measurable)}],
 *   announced_unmatched [{point, end}] (announced breaks matched to none),
 *   holes [input pts],
 *   reencoded [{pts (input), db}],
 *   other [{pts (output), db (the best match found; null for none),
 *     programme_db (against the programme picture of its time, by thumbnail
 *     under 20 dB; null for none), like ("programme": identical to a
 *     programme picture of another time, or nearest to the programme's;
 *     "filler"; null: nothing reaches 20 dB), like_pts (input time of the
 *     programme picture it is identical to, else of the programme picture of
 *     its time; null for none), damaged}]
 * dB with 2 decimals, 100.00 for identical; without --json a short table.
 * Exit status: 0 judged (whatever the judgement); 2 usage, or a file that
 * cannot be read or has no video.
 */
#include "tools/kestrow_pictures.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include "common/mpegts.h"

#define PIC_THUMB_W      32
#define PIC_THUMB_H      18
#define PIC_THUMB        (PIC_THUMB_W * PIC_THUMB_H)
#define PIC_RING         8       // full pictures a re-decoding keeps behind the one asked
#define PIC_MAX_FILLERS  32
#define PIC_MAX_POINTS   256
#define PIC_IDENTICAL_DB 99.0    // at or above: the same picture
#define PIC_FLOOR_DB     20.0    // below: not a version of that picture
#define PIC_THUMB_MAX_DB 98.0    // a thumbnail alone never proves two pictures identical
#define PIC_CANDIDATES   3       // filler pictures compared in full, nearest by thumbnail first
#define PIC_VOTES        50      // output pictures the first offset is chosen on
#define PIC_CONFIRM      3       // pictures in a row that move to another offset

enum pic_kind { PIC_OWN, PIC_REENCODED, PIC_FILLER, PIC_OTHER };

/* What is kept of each decoded picture. */
struct pic_info {
    int64_t pts;          // 90 kHz modulo 2^33; AV_NOPTS_VALUE when the decoder gave none
    uint64_t hash;        // every sample of every plane, with the geometry
    int width, height, format;
    int damaged;          // flagged by the decoder
    uint8_t thumb[PIC_THUMB];
};

/* Error counts of one file's decoding: all it reported is errors + lines. */
struct pic_errors {
    int64_t errors;       // error returns and flagged pictures
    int64_t lines;        // decoder log lines at error level
};

/* A file's video decoded in display order. */
struct pic_dec {
    AVFormatContext *fmt;
    AVCodecContext *dec;
    AVPacket *pkt;
    int stream;
    int pid;
    int flushing;         // the end of input was sent to the decoder
    pic_errors *count;    // null: a decoding again, not counted
};

/* Full pictures of a file by display rank, decoding again from the start when one behind is asked. */
struct pic_reader {
    const char *path;
    int pid;
    pic_dec dec;
    int open;
    int64_t next;         // rank of the next picture the decoder gives
    AVFrame *ring[PIC_RING];
    int64_t ring_rank[PIC_RING];
};

/* One file, its pictures and its errors. */
struct pic_file {
    const char *path;
    int pid;              // the video stream's PID read
    std::vector<pic_info> pics;
    pic_errors err;
    pic_reader reader;
};

/* An announced break, on the output's clock. */
struct pic_point {
    int64_t start;
    int64_t end;          // AV_NOPTS_VALUE when not known
    int64_t event_id;     // -1 for none
    int ends_at_next;     // the break ended at the next event's point
};

/* The class of one output picture. */
struct pic_class {
    int kind;             // pic_kind
    int in;               // rank of the programme picture (own, reencoded); -1
    int at;               // rank of the programme picture of its time, whatever it shows; -1
    int filler, filler_pic;  // filler picture (filler); -1
    double db;            // PSNR of the match; other: of the best one found; 100: identical
    double own_db;        // PSNR against the programme picture of its time; -1 for none
    int like;             // other: -1 none, PIC_OWN a programme picture, PIC_FILLER a filler picture
    int64_t like_pts;     // the programme picture of its time (other, like PIC_OWN: the one it is), input pts
};

/* A run of output pictures that are not the programme's, with filler in it. */
struct pic_break {
    int first, last;      // output ranks
    int before, after;    // programme ranks around it; -1 at an end of the output
    int filler, other;
    int filler_file, filler_pic;
    int missing;          // programme pictures replaced at whose time the output shows nothing; -1 at an end
    int point;            // announced break matched; -1
};

struct pic_opts {
    const char *output, *input, *asrun;
    const char *fillers[PIC_MAX_FILLERS];
    int filler_count;
    pic_point points[PIC_MAX_POINTS];
    int point_count;
    int pid;
    int json, verbose;
};

/* Counts of the decoding being run, for the log callback; one decoding at a time. */
static pic_errors *pic_log_count;
static int pic_log_verbose;

static void pic_log(void *avcl, int level, const char *fmt, va_list vl)
{
    if (level <= AV_LOG_ERROR && pic_log_count)
        pic_log_count->lines++;
    if (pic_log_verbose)
        av_log_default_callback(avcl, level, fmt, vl);
}

/* ---- decoding ---------------------------------------------------------- */

static void pic_dec_close(pic_dec *d)
{
    avcodec_free_context(&d->dec);
    avformat_close_input(&d->fmt);
    av_packet_free(&d->pkt);
}

/*
 * Opens path and a one-thread decoder of its video: the stream on pid when
 * it has one (pid > 0), else its first video stream, those the probe saw no
 * picture of last. Errors of the decoding are counted in count (null: not
 * counted). 0 and d set up (the stream's PID in d->pid); a negative code
 * with nothing left open.
 */
static int pic_dec_open(pic_dec *d, const char *path, int pid, pic_errors *count)
{
    *d = pic_dec{};
    d->count = count;
    AVDictionary *o = nullptr;
    av_dict_set(&o, "probesize", "20000000", 0);
    av_dict_set(&o, "analyzeduration", "10000000", 0);
    int ret = avformat_open_input(&d->fmt, path, nullptr, &o);
    av_dict_free(&o);
    if (ret < 0)
        return ret;
    ret = avformat_find_stream_info(d->fmt, nullptr);
    if (ret < 0)
        goto out_close;
    /* A stream the probe saw no picture of (a PMT declares it, no packet carries it) comes last. */
    d->stream = -1;
    for (int pass = 0; pass < 2 && d->stream < 0; pass++) {
        for (unsigned i = 0; i < d->fmt->nb_streams; i++) {
            const AVStream *st = d->fmt->streams[i];
            if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO || st->codecpar->codec_id == AV_CODEC_ID_NONE ||
                (!pass && st->codecpar->width <= 0))
                continue;
            if (pid > 0 && st->id == pid) {
                d->stream = static_cast<int>(i);
                break;
            }
            if (d->stream < 0)
                d->stream = static_cast<int>(i);
        }
    }
    if (d->stream < 0) {
        ret = AVERROR_STREAM_NOT_FOUND;
        goto out_close;
    }
    for (unsigned i = 0; i < d->fmt->nb_streams; i++)
        d->fmt->streams[i]->discard = static_cast<int>(i) == d->stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    {
        const AVStream *st = d->fmt->streams[d->stream];
        d->pid = st->id;
        const AVCodec *codec = avcodec_find_decoder(st->codecpar->codec_id);
        if (!codec) {
            ret = AVERROR_DECODER_NOT_FOUND;
            goto out_close;
        }
        d->dec = avcodec_alloc_context3(codec);
        d->pkt = av_packet_alloc();
        if (!d->dec || !d->pkt) {
            ret = AVERROR(ENOMEM);
            goto out_close;
        }
        ret = avcodec_parameters_to_context(d->dec, st->codecpar);
        if (ret < 0)
            goto out_close;
        d->dec->thread_count = 1;
        d->dec->pkt_timebase = st->time_base;
        ret = avcodec_open2(d->dec, codec, nullptr);
        if (ret < 0)
            goto out_close;
    }
    return 0;

out_close:
    pic_dec_close(d);
    return ret;
}

/*
 * The next picture in display order into f (unreferenced first). 0;
 * AVERROR_EOF after the last. Read errors end the file; decoding errors are
 * counted and decoding goes on.
 */
static int pic_dec_next(pic_dec *d, AVFrame *f)
{
    av_frame_unref(f);
    for (;;) {
        pic_log_count = d->count;
        int ret = avcodec_receive_frame(d->dec, f);
        pic_log_count = nullptr;
        if (ret == 0) {
            if (d->count && ((f->flags & AV_FRAME_FLAG_CORRUPT) || f->decode_error_flags))
                d->count->errors++;
            return 0;
        }
        if (ret == AVERROR_EOF)
            return AVERROR_EOF;
        if (ret != AVERROR(EAGAIN) && d->count)
            d->count->errors++;
        if (d->flushing)
            return AVERROR_EOF;
        ret = av_read_frame(d->fmt, d->pkt);
        if (ret < 0) {
            d->flushing = 1;
            avcodec_send_packet(d->dec, nullptr);
            continue;
        }
        if (d->pkt->stream_index != d->stream) {
            av_packet_unref(d->pkt);
            continue;
        }
        pic_log_count = d->count;
        ret = avcodec_send_packet(d->dec, d->pkt);
        pic_log_count = nullptr;
        av_packet_unref(d->pkt);
        if (ret < 0 && ret != AVERROR(EAGAIN) && d->count)
            d->count->errors++;
    }
}

/* The picture's time at 90 kHz modulo 2^33, or AV_NOPTS_VALUE. */
static int64_t pic_time(const pic_dec *d, const AVFrame *f)
{
    int64_t t = f->best_effort_timestamp;
    if (t == AV_NOPTS_VALUE)
        return t;
    return ts_pts_wrap(av_rescale_q(t, d->fmt->streams[d->stream]->time_base, AVRational{1, 90000}));
}

/* ---- what a picture is ----------------------------------------------- */

/* Bytes per line and lines of plane p of f. */
static void pic_plane(const AVFrame *f, int p, int *bytes, int *lines)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    *bytes = av_image_get_linesize(static_cast<AVPixelFormat>(f->format), f->width, p);
    *lines = (p == 1 || p == 2) ? AV_CEIL_RSHIFT(f->height, desc->log2_chroma_h) : f->height;
}

static uint64_t pic_hash_bytes(uint64_t h, const uint8_t *p, int n)
{
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, p + i, 8);
        h = (h ^ w) * 0x9E3779B97F4A7C15ull;
        h ^= h >> 29;
    }
    for (; i < n; i++)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

/* A picture of a format with a description and a size: the ones a file's pictures are counted of. */
static bool pic_describable(const AVFrame *f)
{
    return av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format)) && f->width > 0 && f->height > 0;
}

/* Hash, thumbnail and geometry of f; false for a picture that is not describable. */
static bool pic_describe(const AVFrame *f, pic_info *out)
{
    if (!pic_describable(f))
        return false;
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    out->width = f->width;
    out->height = f->height;
    out->format = f->format;
    out->damaged = (f->flags & AV_FRAME_FLAG_CORRUPT) || f->decode_error_flags;
    uint64_t h = 0xCBF29CE484222325ull ^ (static_cast<uint64_t>(f->width) << 40) ^
                 (static_cast<uint64_t>(f->height) << 20) ^ static_cast<uint64_t>(f->format);
    int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(f->format));
    for (int p = 0; p < planes; p++) {
        int bytes, lines;
        pic_plane(f, p, &bytes, &lines);
        for (int y = 0; y < lines; y++)
            h = pic_hash_bytes(h, f->data[p] + static_cast<ptrdiff_t>(y) * f->linesize[p], bytes);
    }
    out->hash = h;

    /* Luma averaged over a 32x18 grid, in 8 bits, whatever the picture's size. */
    int step = desc->comp[0].step, off = desc->comp[0].offset, depth = desc->comp[0].depth;
    int64_t sums[PIC_THUMB] = {};
    int64_t counts[PIC_THUMB] = {};
    int x0[PIC_THUMB_W + 1];
    for (int c = 0; c <= PIC_THUMB_W; c++)
        x0[c] = static_cast<int>(static_cast<int64_t>(c) * f->width / PIC_THUMB_W);
    for (int y = 0; y < f->height; y++) {
        const uint8_t *row = f->data[desc->comp[0].plane] + static_cast<ptrdiff_t>(y) * f->linesize[0];
        int cy = static_cast<int>(static_cast<int64_t>(y) * PIC_THUMB_H / f->height);
        for (int c = 0; c < PIC_THUMB_W; c++) {
            int64_t s = 0;
            for (int x = x0[c]; x < x0[c + 1]; x++) {
                const uint8_t *v = row + x * step + off;
                if (depth > 8) {
                    uint16_t w;
                    memcpy(&w, v, 2);
                    s += w >> (depth - 8);
                } else {
                    s += *v;
                }
            }
            sums[cy * PIC_THUMB_W + c] += s;
            counts[cy * PIC_THUMB_W + c] += x0[c + 1] - x0[c];
        }
    }
    for (int i = 0; i < PIC_THUMB; i++)
        out->thumb[i] = static_cast<uint8_t>(counts[i] ? (sums[i] + counts[i] / 2) / counts[i] : 0);
    return true;
}

static double pic_db(double mse, double peak)
{
    return mse <= 0 ? 100.0 : fmin(100.0, 10.0 * log10(peak * peak / mse));
}

/* PSNR of two thumbnails, at most PIC_THUMB_MAX_DB. */
static double pic_thumb_db(const pic_info *a, const pic_info *b)
{
    int64_t sse = 0;
    for (int i = 0; i < PIC_THUMB; i++) {
        int d = a->thumb[i] - b->thumb[i];
        sse += d * d;
    }
    return fmin(PIC_THUMB_MAX_DB, pic_db(static_cast<double>(sse) / PIC_THUMB, 255));
}

/* PSNR over every sample of every plane of two pictures of one geometry. */
static double pic_full_db(const AVFrame *a, const AVFrame *b)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(a->format));
    bool wide = desc->comp[0].depth > 8;
    double sse = 0, samples = 0;
    int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(a->format));
    for (int p = 0; p < planes; p++) {
        int bytes, lines;
        pic_plane(a, p, &bytes, &lines);
        for (int y = 0; y < lines; y++) {
            const uint8_t *pa = a->data[p] + static_cast<ptrdiff_t>(y) * a->linesize[p];
            const uint8_t *pb = b->data[p] + static_cast<ptrdiff_t>(y) * b->linesize[p];
            int64_t s = 0;
            if (wide) {
                for (int x = 0; x + 2 <= bytes; x += 2) {
                    uint16_t u, v;
                    memcpy(&u, pa + x, 2);
                    memcpy(&v, pb + x, 2);
                    int64_t d = static_cast<int64_t>(u) - v;
                    s += d * d;
                }
                samples += bytes / 2;
            } else {
                for (int x = 0; x < bytes; x++) {
                    int d = pa[x] - pb[x];
                    s += d * d;
                }
                samples += bytes;
            }
            sse += static_cast<double>(s);
        }
    }
    return pic_db(samples > 0 ? sse / samples : 0, (1 << desc->comp[0].depth) - 1);
}

/* ---- files --------------------------------------------------------------- */

/* Decodes the whole file once: its pictures' descriptions and its errors. 0 or a negative code. */
static int pic_file_index(pic_file *file, int pid)
{
    pic_dec d;
    int ret = pic_dec_open(&d, file->path, pid, &file->err);
    if (ret < 0)
        return ret;
    file->pid = d.pid;
    AVFrame *f = av_frame_alloc();
    if (!f) {
        pic_dec_close(&d);
        return AVERROR(ENOMEM);
    }
    while ((ret = pic_dec_next(&d, f)) == 0) {
        pic_info info = {};
        if (!pic_describe(f, &info))
            continue;
        info.pts = pic_time(&d, f);
        file->pics.push_back(info);
    }
    av_frame_free(&f);
    pic_dec_close(&d);
    file->reader.path = file->path;
    file->reader.pid = file->pid;
    return 0;
}

static void pic_reader_close(pic_reader *r)
{
    if (r->open)
        pic_dec_close(&r->dec);
    r->open = 0;
    for (AVFrame *&f : r->ring)
        av_frame_free(&f);
}

/*
 * The full picture of display rank n of the reader's file, decoded again
 * (from the start when n lies behind what it keeps); null when the file has
 * no such picture or cannot be read. The picture stays the reader's, valid
 * up to the next call.
 */
static const AVFrame *pic_reader_get(pic_reader *r, int64_t n)
{
    for (int i = 0; i < PIC_RING; i++)
        if (r->ring[i] && r->ring_rank[i] == n)
            return r->ring[i];
    if (!r->open || n < r->next) {
        pic_reader_close(r);
        if (pic_dec_open(&r->dec, r->path, r->pid, nullptr) < 0)
            return nullptr;
        r->open = 1;
        r->next = 0;
    }
    while (r->next <= n) {
        int slot = static_cast<int>(r->next % PIC_RING);
        if (!r->ring[slot] && !(r->ring[slot] = av_frame_alloc()))
            return nullptr;
        r->ring_rank[slot] = -1;
        if (pic_dec_next(&r->dec, r->ring[slot]) < 0) {
            av_frame_free(&r->ring[slot]);
            return nullptr;
        }
        if (!pic_describable(r->ring[slot]))
            continue;  // left out of the index too
        r->ring_rank[slot] = r->next++;
    }
    return r->ring[n % PIC_RING];
}

static bool pic_same_geometry(const pic_info *a, const pic_info *b)
{
    return a->width == b->width && a->height == b->height && a->format == b->format;
}

/* PSNR of output picture o against reference picture r of file ref: in full when they share a geometry. */
static double pic_compare(pic_file *out, int o, pic_file *ref, int r)
{
    const pic_info *a = &out->pics[o], *b = &ref->pics[r];
    if (a->hash == b->hash)
        return 100.0;
    if (!pic_same_geometry(a, b))
        return pic_thumb_db(a, b);
    const AVFrame *fb = pic_reader_get(&ref->reader, r);
    const AVFrame *fa = fb ? pic_reader_get(&out->reader, o) : nullptr;
    return fa ? pic_full_db(fa, fb) : pic_thumb_db(a, b);
}

/* ---- the output against the programme ----------------------------------- */

struct pic_judge {
    pic_file out, in;
    pic_file fillers[PIC_MAX_FILLERS];
    int filler_count;
    std::unordered_map<int64_t, std::vector<int>> in_by_pts;
    std::unordered_map<uint64_t, std::vector<int>> in_by_hash;
    std::unordered_map<uint64_t, std::pair<int, int>> filler_by_hash;  // the first (filler, picture)
    std::vector<int64_t> offset_at;                        // per output picture
    std::vector<std::pair<int, int64_t>> offsets;          // (output rank, offset) where each starts
    std::vector<pic_class> cls;
    std::vector<pic_break> breaks;
    std::vector<int> shown;                                // per programme picture: times shown
    std::vector<int> holes;                                // programme ranks
    int span_first, span_last;                             // programme ranks at the times of pictures not filler; -1
    int64_t duplicates;
};

static void pic_judge_maps(pic_judge *j)
{
    for (int r = 0; r < static_cast<int>(j->in.pics.size()); r++) {
        const pic_info *p = &j->in.pics[r];
        if (p->pts == AV_NOPTS_VALUE)
            continue;  // cannot be matched in time
        j->in_by_pts[p->pts].push_back(r);
        j->in_by_hash[p->hash].push_back(r);
    }
    for (int f = 0; f < j->filler_count; f++)
        for (int r = 0; r < static_cast<int>(j->fillers[f].pics.size()); r++)
            j->filler_by_hash.emplace(j->fillers[f].pics[r].hash, std::make_pair(f, r));
}

/* Output - input time of output picture o shown as programme picture r (both timed). */
static int64_t pic_offset_of(const pic_judge *j, int o, int r)
{
    return ts_pts_wrap(j->out.pics[o].pts - j->in.pics[r].pts);
}

/* Input pictures identical to output picture o; null for none, or when o has no time. */
static const std::vector<int> *pic_identical(const pic_judge *j, int o)
{
    auto it = j->in_by_hash.find(j->out.pics[o].hash);
    return it == j->in_by_hash.end() || j->out.pics[o].pts == AV_NOPTS_VALUE ? nullptr : &it->second;
}

/* Of the input pictures rs, the one nearest rank hint (with offset only: at that offset); -1 for none. */
static int pic_nearest(const pic_judge *j, int o, const std::vector<int> &rs, int hint, int64_t offset)
{
    int best = -1;
    for (int r : rs)
        if ((offset == AV_NOPTS_VALUE || pic_offset_of(j, o, r) == offset) && (best < 0 || abs(r - hint) < abs(best - hint)))
            best = r;
    return best;
}

/*
 * The offset in force at each output picture. The first: the most common
 * over the first output pictures identical to an input picture, each
 * taken at the identical input picture of the nearest time (by thumbnail when
 * none is identical). A new one where PIC_CONFIRM output pictures in a row
 * are identical to input pictures at it and the first to none at the one in
 * force, each taken at the input picture nearest the rank that follows the
 * last one matched (a picture repeated in the programme, as a source that
 * restarts sends, is not taken for another).
 */
static void pic_align(pic_judge *j)
{
    int n = static_cast<int>(j->out.pics.size());
    std::unordered_map<int64_t, int> votes;
    int64_t cur = 0;
    int best = 0, seen = 0;
    for (int o = 0; o < n && seen < PIC_VOTES; o++) {
        const std::vector<int> *rs = pic_identical(j, o);
        if (!rs)
            continue;
        int64_t off = AV_NOPTS_VALUE;
        for (int r : *rs)
            if (j->in.pics[r].pts != AV_NOPTS_VALUE &&
                (off == AV_NOPTS_VALUE || llabs(ts_pts_diff(pic_offset_of(j, o, r), 0)) < llabs(ts_pts_diff(off, 0))))
                off = pic_offset_of(j, o, r);
        if (off == AV_NOPTS_VALUE)
            continue;
        seen++;
        if (++votes[off] > best) {
            best = votes[off];
            cur = off;
        }
    }
    for (int o = 0; !seen && o < n && o < PIC_VOTES; o++) {
        const pic_info *p = &j->out.pics[o];
        double top = 30.0;
        int64_t at = AV_NOPTS_VALUE;
        for (const pic_info &q : j->in.pics) {
            double db = p->pts != AV_NOPTS_VALUE && q.pts != AV_NOPTS_VALUE ? pic_thumb_db(p, &q) : 0;
            if (db > top) {
                top = db;
                at = ts_pts_wrap(p->pts - q.pts);
            }
        }
        if (at != AV_NOPTS_VALUE && ++votes[at] > best) {
            best = votes[at];
            cur = at;
        }
    }
    j->offsets.push_back({0, cur});
    j->offset_at.assign(n, cur);
    int last_rank = -1, last_o = -1;
    for (int o = 0; o < n; o++) {
        const std::vector<int> *rs = pic_identical(j, o);
        int hint = last_rank >= 0 ? last_rank + (o - last_o) : o;
        int r = rs ? pic_nearest(j, o, *rs, hint, cur) : -1;
        if (rs && r < 0 && (r = pic_nearest(j, o, *rs, hint, AV_NOPTS_VALUE)) >= 0 &&
            j->in.pics[r].pts != AV_NOPTS_VALUE && o + PIC_CONFIRM <= n) {
            int64_t next = pic_offset_of(j, o, r);
            int k = 1;
            for (; k < PIC_CONFIRM; k++) {
                const std::vector<int> *more = pic_identical(j, o + k);
                if (!more || pic_nearest(j, o + k, *more, r + k, next) < 0)
                    break;
            }
            if (k == PIC_CONFIRM) {
                cur = next;
                j->offsets.push_back({o, cur});
            } else {
                r = -1;
            }
        }
        if (r >= 0) {
            last_rank = r;
            last_o = o;
        }
        j->offset_at[o] = cur;
    }
}

/* Rank of the programme picture at output picture o's time, the nearest expect when several; -1 for none. */
static int pic_programme_at(const pic_judge *j, int o, int expect)
{
    const pic_info *p = &j->out.pics[o];
    if (p->pts == AV_NOPTS_VALUE)
        return -1;
    auto it = j->in_by_pts.find(ts_pts_wrap(p->pts - j->offset_at[o]));
    if (it == j->in_by_pts.end())
        return -1;
    int best = -1;
    for (int r : it->second)
        if (best < 0 || abs(r - expect) < abs(best - expect))
            best = r;
    return best;
}

/*
 * The filler picture nearest output picture o: of those nearest by
 * thumbnail (and the one expected next, first), the best in full. Its PSNR,
 * *file and *pic set; -1 without fillers.
 */
static double pic_best_filler(pic_judge *j, int o, int expect_file, int expect_pic, int *file, int *pic)
{
    struct cand {
        double db;
        int f, p;
    } top[PIC_CANDIDATES + 1];
    int n = 0;
    const pic_info *a = &j->out.pics[o];
    for (int f = 0; f < j->filler_count; f++) {
        for (int p = 0; p < static_cast<int>(j->fillers[f].pics.size()); p++) {
            double db = pic_thumb_db(a, &j->fillers[f].pics[p]);
            if (n == PIC_CANDIDATES && top[n - 1].db >= db)
                continue;
            int at = n < PIC_CANDIDATES ? n++ : n - 1;
            top[at] = cand{db, f, p};
            for (; at > 0 && top[at - 1].db < top[at].db; at--)
                std::swap(top[at - 1], top[at]);
        }
    }
    if (expect_file >= 0 && expect_pic < static_cast<int>(j->fillers[expect_file].pics.size())) {
        for (int k = n; k > 0; k--)
            top[k] = top[k - 1];
        top[0] = cand{pic_thumb_db(a, &j->fillers[expect_file].pics[expect_pic]), expect_file, expect_pic};
        n++;
    }
    double best = -1;
    for (int k = 0; k < n; k++) {
        /* The thumbnail's PSNR is about the picture's or above: far below the floor, not worth a full comparison. */
        double db = top[k].db < PIC_FLOOR_DB ? top[k].db : pic_compare(&j->out, o, &j->fillers[top[k].f], top[k].p);
        if (db > best) {
            best = db;
            *file = top[k].f;
            *pic = top[k].p;
        }
    }
    return best;
}

static void pic_classify(pic_judge *j)
{
    int n = static_cast<int>(j->out.pics.size());
    int expect_in = 0, expect_file = -1, expect_pic = 0;
    j->cls.resize(n);
    for (int o = 0; o < n; o++) {
        const pic_info *p = &j->out.pics[o];
        int r = pic_programme_at(j, o, expect_in);
        pic_class c = {PIC_OTHER, -1, r, -1, -1, 0, -1, -1, AV_NOPTS_VALUE};
        auto fh = j->filler_by_hash.find(p->hash);
        double own = -1, fill = -1;
        int file = -1, pic = -1;
        if (r >= 0 && j->in.pics[r].hash == p->hash) {
            own = 100;
        } else if (fh != j->filler_by_hash.end()) {
            fill = 100;
            file = fh->second.first;
            pic = fh->second.second;
        } else {
            if (r >= 0) {
                own = pic_thumb_db(p, &j->in.pics[r]);
                if (own >= PIC_FLOOR_DB)
                    own = pic_compare(&j->out, o, &j->in, r);
            }
            if (own < PIC_IDENTICAL_DB)
                fill = pic_best_filler(j, o, expect_file, expect_pic, &file, &pic);
        }
        if (own >= PIC_IDENTICAL_DB)
            c.kind = PIC_OWN;
        else if (fill >= PIC_IDENTICAL_DB)
            c.kind = PIC_FILLER;
        else if (!p->damaged && own >= PIC_FLOOR_DB && own >= fill)
            c.kind = PIC_REENCODED;
        else if (!p->damaged && fill >= PIC_FLOOR_DB)
            c.kind = PIC_FILLER;
        c.own_db = own;
        c.like_pts = r >= 0 ? j->in.pics[r].pts : AV_NOPTS_VALUE;
        if (c.kind == PIC_OWN || c.kind == PIC_REENCODED) {
            c.in = r;
            c.db = own;
            expect_in = r + 1;
        } else if (c.kind == PIC_FILLER) {
            c.filler = file;
            c.filler_pic = pic;
            c.db = fill;
            expect_file = file;
            expect_pic = pic + 1;
        } else {
            /* A programme picture shown at another time, or what the picture comes nearest to. */
            const std::vector<int> *rs = pic_identical(j, o);
            int same = rs ? pic_nearest(j, o, *rs, r >= 0 ? r : expect_in, AV_NOPTS_VALUE) : -1;
            c.db = fmax(own, fill);
            if (same >= 0) {
                c.like = PIC_OWN;
                c.db = 100;
                c.like_pts = j->in.pics[same].pts;
            } else if (c.db >= PIC_FLOOR_DB && own >= fill) {
                c.like = PIC_OWN;
            } else if (c.db >= PIC_FLOOR_DB) {
                c.like = PIC_FILLER;
                c.filler = file;
                c.filler_pic = pic;
            }
        }
        j->cls[o] = c;
    }
}

static bool pic_is_programme(const pic_class *c)
{
    return c->kind == PIC_OWN || c->kind == PIC_REENCODED;
}

/* Breaks (runs without programme pictures, filler in them), then the programme pictures shown and the holes. */
static void pic_sequence(pic_judge *j)
{
    int n = static_cast<int>(j->cls.size()), in = static_cast<int>(j->in.pics.size());
    j->shown.assign(in, 0);
    j->span_first = j->span_last = -1;
    for (const pic_class &c : j->cls) {
        if (c.kind != PIC_FILLER && c.at >= 0) {
            j->span_first = j->span_first < 0 ? c.at : std::min(j->span_first, c.at);
            j->span_last = std::max(j->span_last, c.at);
        }
        if (!pic_is_programme(&c))
            continue;
        j->shown[c.in]++;
    }
    int before = -1;
    for (int o = 0; o < n;) {
        if (pic_is_programme(&j->cls[o])) {
            before = j->cls[o++].in;
            continue;
        }
        pic_break b = {o, o, before, -1, 0, 0, -1, -1, -1, -1};
        for (; o < n && !pic_is_programme(&j->cls[o]); o++) {
            const pic_class *c = &j->cls[o];
            b.last = o;
            if (c->kind == PIC_FILLER && !b.filler++) {
                b.filler_file = c->filler;
                b.filler_pic = c->filler_pic;
            }
            b.other += c->kind == PIC_OTHER;
        }
        b.after = o < n ? j->cls[o].in : -1;
        if (b.filler)
            j->breaks.push_back(b);
    }
    std::vector<char> replaced(in, 0);
    std::unordered_set<int64_t> times;
    for (const pic_info &p : j->out.pics)
        times.insert(p.pts);
    for (pic_break &b : j->breaks) {
        if (b.before >= 0 && b.after >= 0)
            b.missing = 0;
        for (int r = b.before + 1; r < (b.after >= 0 ? b.after : in); r++) {
            replaced[r] = 1;
            if (b.missing >= 0 && j->in.pics[r].pts != AV_NOPTS_VALUE)
                b.missing += !times.count(ts_pts_wrap(j->in.pics[r].pts + j->offset_at[b.first]));
        }
    }
    j->duplicates = 0;
    for (int r = 0; r < in; r++) {
        j->duplicates += j->shown[r] > 1 ? j->shown[r] - 1 : 0;
        if (r >= j->span_first && r <= j->span_last && j->span_first >= 0 && !j->shown[r] && !replaced[r])
            j->holes.push_back(r);
    }
}

/* Rank of the first programme picture at or after input time t, searched from rank hint; the count past the last. */
static int pic_rank_at(const pic_judge *j, int64_t t, int hint)
{
    int n = static_cast<int>(j->in.pics.size());
    int r = std::max(0, std::min(hint, n));
    auto at_or_after = [&](int k) {
        return j->in.pics[k].pts != AV_NOPTS_VALUE && ts_pts_diff(j->in.pics[k].pts, t) >= 0;
    };
    while (r > 0 && at_or_after(r - 1))
        r--;
    while (r < n && !at_or_after(r))
        r++;
    return r;
}

/* Output time of output picture o; AV_NOPTS_VALUE when none. */
static int64_t pic_out_pts(const pic_judge *j, int o)
{
    return o >= 0 && o < static_cast<int>(j->out.pics.size()) ? j->out.pics[o].pts : AV_NOPTS_VALUE;
}

/* How far (90 kHz) t lies from the output times of break b: 0 inside it. */
static int64_t pic_break_distance(const pic_judge *j, const pic_break *b, int64_t t)
{
    int64_t lo = pic_out_pts(j, b->first), hi = pic_out_pts(j, b->last);
    if (lo == AV_NOPTS_VALUE || hi == AV_NOPTS_VALUE)
        return INT64_MAX;
    int64_t a = ts_pts_diff(lo, t), z = ts_pts_diff(t, hi);
    return a > 0 ? a : z > 0 ? z : 0;
}

/* Each announced break to the nearest detected one not matched yet, up to 20 s away. */
static void pic_match_points(pic_judge *j, pic_point *points, int count)
{
    for (int k = 0; k < count; k++) {
        int best = -1;
        int64_t far = 20 * 90000;
        for (int b = 0; b < static_cast<int>(j->breaks.size()); b++) {
            int64_t d = pic_break_distance(j, &j->breaks[b], points[k].start);
            if (j->breaks[b].point < 0 && d <= far) {
                far = d;
                best = b;
            }
        }
        if (best >= 0)
            j->breaks[best].point = k;
    }
}

/* Frames off at the start (end = 0) or the return (end = 1) of break b at announced time t (output clock); false when not measurable. */
static bool pic_frames_off(const pic_judge *j, const pic_break *b, int64_t t, int end, int *off)
{
    int edge = end ? b->after : b->before;
    if (edge < 0 || t == AV_NOPTS_VALUE)
        return false;
    int64_t offset = j->offset_at[end ? b->last : b->first];
    int at = pic_rank_at(j, ts_pts_wrap(t - offset), edge);
    *off = end ? edge - at : edge + 1 - at;
    return true;
}

/* ---- the as-run file ---------------------------------------------------- */

/* The integer of "key": in a JSON line; AV_NOPTS_VALUE when absent or null. */
static int64_t pic_json_int(const char *line, const char *key)
{
    char pat[64];
    snprintf(pat, sizeof(pat), "\"%s\":", key);
    const char *at = strstr(line, pat);
    if (!at)
        return AV_NOPTS_VALUE;
    at += strlen(pat);
    char *end = nullptr;
    long long v = strtoll(at, &end, 10);
    return end == at ? AV_NOPTS_VALUE : v;
}

/* Whether a JSON line has "key":"value". */
static bool pic_json_is(const char *line, const char *key, const char *value)
{
    char pat[128];
    snprintf(pat, sizeof(pat), "\"%s\":\"%s\"", key, value);
    return strstr(line, pat) != nullptr;
}

/*
 * Announced breaks of an as-run file appended to o->points: each
 * break_start, ending at its splice time + duration, at a return record's
 * splice time for its event (the earlier), or at the next break's start when
 * it ended at the next event. 0; a negative errno when the file cannot be
 * read; -E2BIG past PIC_MAX_POINTS breaks.
 */
static int pic_read_asrun(pic_opts *o, const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f)
        return -errno;
    char line[8192];
    int first = o->point_count, ret = 0;
    std::vector<std::pair<int64_t, int64_t>> returns;   // (event id, splice time)
    while (fgets(line, sizeof(line), f)) {
        int64_t id = pic_json_int(line, "splice_event_id");
        if (id == AV_NOPTS_VALUE)
            id = pic_json_int(line, "segmentation_event_id");
        int64_t at = pic_json_int(line, "splice_time");
        if (pic_json_is(line, "event", "break_start")) {
            if (o->point_count >= PIC_MAX_POINTS) {
                ret = -E2BIG;
                break;
            }
            if (at == AV_NOPTS_VALUE)
                at = pic_json_int(line, "pts");
            int64_t dur = pic_json_int(line, "duration");
            pic_point *p = &o->points[o->point_count++];
            *p = pic_point{at, at != AV_NOPTS_VALUE && dur != AV_NOPTS_VALUE ? ts_pts_wrap(at + dur) : AV_NOPTS_VALUE,
                           id == AV_NOPTS_VALUE ? -1 : id, 0};
        } else if (pic_json_is(line, "event", "return") && at != AV_NOPTS_VALUE) {
            returns.push_back({id == AV_NOPTS_VALUE ? -1 : id, at});
        } else if (pic_json_is(line, "event", "break_end") && pic_json_is(line, "reason", "next_event") &&
                   o->point_count > first) {
            o->points[o->point_count - 1].ends_at_next = 1;
        }
    }
    fclose(f);
    for (const auto &r : returns) {
        for (int k = o->point_count - 1; k >= first; k--) {
            pic_point *p = &o->points[k];
            if (p->event_id != r.first && r.first >= 0)
                continue;
            if (p->end == AV_NOPTS_VALUE || ts_pts_diff(r.second, p->end) < 0)
                p->end = r.second;
            break;
        }
    }
    for (int k = first; k + 1 < o->point_count; k++)
        if (o->points[k].ends_at_next)
            o->points[k].end = o->points[k + 1].start;
    return ret;
}

/* ---- report ------------------------------------------------------------ */

static void pic_json_str(const char *s)
{
    putchar('"');
    for (; *s; s++) {
        unsigned char ch = static_cast<unsigned char>(*s);
        if (ch == '"' || ch == '\\')
            printf("\\%c", ch);
        else if (ch < 0x20)
            printf("\\u%04x", ch);
        else
            putchar(ch);
    }
    putchar('"');
}

static void pic_json_time(int64_t t)
{
    if (t == AV_NOPTS_VALUE)
        printf("null");
    else
        printf("%" PRId64, t);
}

static void pic_json_db(double db)
{
    if (db < 0)
        printf("null");
    else
        printf("%.2f", db);
}

/* Totals over the output's pictures. */
struct pic_totals {
    int64_t own, reencoded, filler, other;
    double reencoded_min, reencoded_sum, filler_min;
};

static pic_totals pic_count(const pic_judge *j)
{
    pic_totals t = {0, 0, 0, 0, -1, 0, -1};
    for (const pic_class &c : j->cls) {
        switch (c.kind) {
        case PIC_OWN:
            t.own++;
            break;
        case PIC_REENCODED:
            t.reencoded++;
            t.reencoded_sum += c.db;
            t.reencoded_min = t.reencoded_min < 0 ? c.db : fmin(t.reencoded_min, c.db);
            break;
        case PIC_FILLER:
            t.filler++;
            t.filler_min = t.filler_min < 0 ? c.db : fmin(t.filler_min, c.db);
            break;
        default:
            t.other++;
        }
    }
    return t;
}

static void pic_print_json(const pic_judge *j, const pic_opts *o)
{
    pic_totals t = pic_count(j);
    printf("{\"mode\":\"pictures\",\"output\":");
    pic_json_str(o->output);
    printf(",\"input\":");
    pic_json_str(o->input);
    printf(",\"fillers\":[");
    for (int f = 0; f < j->filler_count; f++) {
        printf(f ? "," : "");
        pic_json_str(o->fillers[f]);
    }
    printf("],\"pid\":{\"output\":%d,\"input\":%d},", j->out.pid, j->in.pid);
    printf("\"totals\":{\"pictures_in\":%zu,\"pictures_out\":%zu,\"own\":%" PRId64 ",\"reencoded\":%" PRId64
           ",\"reencoded_min_db\":",
           j->in.pics.size(), j->out.pics.size(), t.own, t.reencoded);
    pic_json_db(t.reencoded_min);
    printf(",\"reencoded_mean_db\":");
    pic_json_db(t.reencoded ? t.reencoded_sum / t.reencoded : -1);
    printf(",\"filler\":%" PRId64 ",\"filler_min_db\":", t.filler);
    pic_json_db(t.filler_min);
    printf(",\"other\":%" PRId64 ",\"holes\":%zu,\"duplicates\":%" PRId64 ",\"decode_errors_in\":%" PRId64
           ",\"decode_errors_out\":%" PRId64 ",\"error_lines_in\":%" PRId64 ",\"error_lines_out\":%" PRId64
           ",\"offset\":%" PRId64 "},",
           t.other, j->holes.size(), j->duplicates, j->in.err.errors + j->in.err.lines,
           j->out.err.errors + j->out.err.lines, j->in.err.lines, j->out.err.lines, ts_pts_diff(j->offsets[0].second, 0));
    printf("\"offsets\":[");
    for (size_t k = 0; k < j->offsets.size(); k++) {
        printf("%s{\"from_pts\":", k ? "," : "");
        pic_json_time(pic_out_pts(j, j->offsets[k].first));
        printf(",\"offset\":%" PRId64 "}", ts_pts_diff(j->offsets[k].second, 0));
    }
    printf("],\"span\":{\"first_pts\":");
    pic_json_time(j->span_first >= 0 ? j->in.pics[j->span_first].pts : AV_NOPTS_VALUE);
    printf(",\"last_pts\":");
    pic_json_time(j->span_last >= 0 ? j->in.pics[j->span_last].pts : AV_NOPTS_VALUE);
    printf("},\"breaks\":[");
    for (size_t k = 0; k < j->breaks.size(); k++) {
        const pic_break *b = &j->breaks[k];
        const pic_point *p = b->point >= 0 ? &o->points[b->point] : nullptr;
        printf("%s{\"before_pts\":", k ? "," : "");
        pic_json_time(b->before >= 0 ? j->in.pics[b->before].pts : AV_NOPTS_VALUE);
        printf(",\"after_pts\":");
        pic_json_time(b->after >= 0 ? j->in.pics[b->after].pts : AV_NOPTS_VALUE);
        printf(",\"first_pts\":");
        pic_json_time(pic_out_pts(j, b->first));
        printf(",\"last_pts\":");
        pic_json_time(pic_out_pts(j, b->last));
        printf(",\"pictures\":%d,\"filler\":%d,\"other\":%d,\"missing\":", b->last - b->first + 1, b->filler,
               b->other);
        b->missing < 0 ? printf("null") : printf("%d", b->missing);
        printf(",\"filler_first\":{\"file\":%d,\"picture\":%d},\"point\":", b->filler_file, b->filler_pic);
        pic_json_time(p ? p->start : AV_NOPTS_VALUE);
        printf(",\"end\":");
        pic_json_time(p ? p->end : AV_NOPTS_VALUE);
        for (int end = 0; end < 2; end++) {
            int off;
            printf(end ? ",\"frames_off_end\":" : ",\"frames_off_start\":");
            if (p && pic_frames_off(j, b, end ? p->end : p->start, end, &off))
                printf("%d", off);
            else
                printf("null");
        }
        printf("}");
    }
    printf("],\"announced_unmatched\":[");
    int listed = 0;
    for (int k = 0; k < o->point_count; k++) {
        bool matched = false;
        for (const pic_break &b : j->breaks)
            matched = matched || b.point == k;
        if (matched)
            continue;
        printf("%s{\"point\":", listed++ ? "," : "");
        pic_json_time(o->points[k].start);
        printf(",\"end\":");
        pic_json_time(o->points[k].end);
        printf("}");
    }
    printf("],\"holes\":[");
    for (size_t k = 0; k < j->holes.size(); k++) {
        printf(k ? "," : "");
        pic_json_time(j->in.pics[j->holes[k]].pts);
    }
    printf("],\"reencoded\":[");
    listed = 0;
    for (const pic_class &c : j->cls) {
        if (c.kind != PIC_REENCODED)
            continue;
        printf("%s{\"pts\":", listed++ ? "," : "");
        pic_json_time(j->in.pics[c.in].pts);
        printf(",\"db\":%.2f}", c.db);
    }
    printf("],\"other\":[");
    listed = 0;
    for (size_t k = 0; k < j->cls.size(); k++) {
        const pic_class *c = &j->cls[k];
        if (c->kind != PIC_OTHER)
            continue;
        printf("%s{\"pts\":", listed++ ? "," : "");
        pic_json_time(j->out.pics[k].pts);
        printf(",\"db\":");
        pic_json_db(c->db);
        printf(",\"programme_db\":");
        pic_json_db(c->own_db);
        printf(",\"like\":%s,\"like_pts\":", c->like == PIC_OWN ? "\"programme\"" : c->like == PIC_FILLER ? "\"filler\"" : "null");
        pic_json_time(c->like_pts);
        printf(",\"damaged\":%s}", j->out.pics[k].damaged ? "true" : "false");
    }
    printf("]}\n");
}

static void pic_print_table(const pic_judge *j, const pic_opts *o)
{
    pic_totals t = pic_count(j);
    printf("pictures   in %zu  out %zu  own %" PRId64 "  reencoded %" PRId64, j->in.pics.size(), j->out.pics.size(),
           t.own, t.reencoded);
    if (t.reencoded)
        printf(" (min %.2f dB, mean %.2f dB)", t.reencoded_min, t.reencoded_sum / t.reencoded);
    printf("  filler %" PRId64 "  other %" PRId64 "  holes %zu  duplicates %" PRId64 "\n", t.filler, t.other,
           j->holes.size(), j->duplicates);
    printf("decoding   errors in %" PRId64 "  out %" PRId64 "  (of which error lines in %" PRId64 "  out %" PRId64 ")\n",
           j->in.err.errors + j->in.err.lines, j->out.err.errors + j->out.err.lines, j->in.err.lines, j->out.err.lines);
    for (const auto &off : j->offsets) {
        printf("offset     %" PRId64 " from output pts ", ts_pts_diff(off.second, 0));
        int64_t at = pic_out_pts(j, off.first);
        at == AV_NOPTS_VALUE ? printf("-\n") : printf("%" PRId64 "\n", at);
    }
    printf("%-6s %11s %11s %11s %11s %8s %6s %5s %7s %9s %9s\n", "break", "before", "first", "after", "point",
           "pictures", "filler", "other", "missing", "off start", "off end");
    for (size_t k = 0; k < j->breaks.size(); k++) {
        const pic_break *b = &j->breaks[k];
        const pic_point *p = b->point >= 0 ? &o->points[b->point] : nullptr;
        char cols[5][24];
        int64_t times[4] = {b->before >= 0 ? j->in.pics[b->before].pts : AV_NOPTS_VALUE, pic_out_pts(j, b->first),
                            b->after >= 0 ? j->in.pics[b->after].pts : AV_NOPTS_VALUE, p ? p->start : AV_NOPTS_VALUE};
        for (int c = 0; c < 4; c++)
            times[c] == AV_NOPTS_VALUE ? snprintf(cols[c], sizeof(cols[c]), "-")
                                       : snprintf(cols[c], sizeof(cols[c]), "%" PRId64, times[c]);
        int s, e;
        bool hs = p && pic_frames_off(j, b, p->start, 0, &s), he = p && pic_frames_off(j, b, p->end, 1, &e);
        char so[16] = "-", eo[16] = "-", mi[16] = "-";
        if (b->missing >= 0)
            snprintf(mi, sizeof(mi), "%d", b->missing);
        if (hs)
            snprintf(so, sizeof(so), "%d", s);
        if (he)
            snprintf(eo, sizeof(eo), "%d", e);
        printf("%-6zu %11s %11s %11s %11s %8d %6d %5d %7s %9s %9s\n", k + 1, cols[0], cols[1], cols[2], cols[3],
               b->last - b->first + 1, b->filler, b->other, mi, so, eo);
    }
    if (!j->holes.empty()) {
        printf("holes     ");
        for (size_t k = 0; k < j->holes.size() && k < 20; k++)
            printf(" %" PRId64, j->in.pics[j->holes[k]].pts);
        printf(j->holes.size() > 20 ? " ...\n" : "\n");
    }
}

/* ---- options and run ---------------------------------------------------- */

static void pic_usage(void)
{
    fprintf(stderr, "usage: kestrow_check --pictures OUTPUT --input INPUT [--filler FILE ...] [--asrun FILE]\n"
                    "                     [--point START[:END] ...] [--pid PID] [--json] [--verbose]\n");
}

static int pic_parse(int argc, char **argv, pic_opts *o)
{
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
        char *end = nullptr;
        if (!strcmp(a, "--json")) {
            o->json = 1;
        } else if (!strcmp(a, "--verbose")) {
            o->verbose = 1;
        } else if (!v) {
            return -EINVAL;
        } else if (!strcmp(a, "--pictures")) {
            o->output = argv[++i];
        } else if (!strcmp(a, "--input")) {
            o->input = argv[++i];
        } else if (!strcmp(a, "--asrun")) {
            o->asrun = argv[++i];
        } else if (!strcmp(a, "--filler")) {
            if (o->filler_count >= PIC_MAX_FILLERS)
                return -E2BIG;
            o->fillers[o->filler_count++] = argv[++i];
        } else if (!strcmp(a, "--pid")) {
            long pid = strtol(argv[++i], &end, 0);
            if (*end || pid <= 0 || pid >= TS_NULL_PID)
                return -EINVAL;
            o->pid = static_cast<int>(pid);
        } else if (!strcmp(a, "--point")) {
            if (o->point_count >= PIC_MAX_POINTS)
                return -E2BIG;
            pic_point *p = &o->points[o->point_count++];
            *p = pic_point{strtoll(argv[++i], &end, 0), AV_NOPTS_VALUE, -1, 0};
            if (*end == ':')
                p->end = strtoll(end + 1, &end, 0);
            if (*end || p->start < 0 || p->start >= TS_PTS_WRAP || (p->end != AV_NOPTS_VALUE && (p->end < 0 || p->end >= TS_PTS_WRAP)))
                return -EINVAL;
        } else {
            return -EINVAL;
        }
    }
    return o->output && o->input ? 0 : -EINVAL;
}

static void pic_judge_free(pic_judge *j)
{
    pic_reader_close(&j->out.reader);
    pic_reader_close(&j->in.reader);
    for (int f = 0; f < j->filler_count; f++)
        pic_reader_close(&j->fillers[f].reader);
}

static int pic_index_or_say(pic_file *file, const char *path, int pid)
{
    file->path = path;
    int ret = pic_file_index(file, pid);
    if (ret < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(ret, text, sizeof(text));
        fprintf(stderr, "kestrow_check: %s: %s\n", path, text);
    }
    return ret;
}

int pictures_main(int argc, char **argv)
{
    static pic_opts o;   // large: the announced breaks
    o = pic_opts{};
    if (pic_parse(argc, argv, &o) < 0) {
        pic_usage();
        return 2;
    }
    if (o.asrun) {
        int ret = pic_read_asrun(&o, o.asrun);
        if (ret < 0) {
            fprintf(stderr, "kestrow_check: %s: %s\n", o.asrun, strerror(-ret));
            return 2;
        }
    }
    pic_log_verbose = o.verbose;
    av_log_set_callback(pic_log);
    pic_judge *j = new pic_judge();
    int status = 2;
    j->filler_count = o.filler_count;
    if (pic_index_or_say(&j->out, o.output, o.pid) < 0 || pic_index_or_say(&j->in, o.input, j->out.pid) < 0)
        goto out_free;
    for (int f = 0; f < o.filler_count; f++)
        if (pic_index_or_say(&j->fillers[f], o.fillers[f], 0) < 0)
            goto out_free;
    pic_judge_maps(j);
    pic_align(j);
    pic_classify(j);
    pic_sequence(j);
    pic_match_points(j, o.points, o.point_count);
    if (o.json)
        pic_print_json(j, &o);
    else
        pic_print_table(j, &o);
    fflush(stdout);
    status = 0;

out_free:
    pic_judge_free(j);
    delete j;
    return status;
}
