/*
 * Re-encodes the pictures around a frame-accurate splice point (which ones:
 * splice_gop.h). A run of the programme's packets, from a key frame, is
 * decoded with the library's decoder; the pictures shown in a range are
 * encoded again with the programme's own codec (libx264, libx265, or the
 * library's MPEG-2 encoder), profile, level, size, field order and colour
 * description, as one closed run without reordering that starts with an IDR
 * (an intra picture with a closed GOP for MPEG-2). The run keeps the
 * pictures' pts and takes the decoding times the caller gives, so that it
 * fits between the programme's pictures around it.
 *
 * The encoder's rate is held within the programme's buffer model: its peak
 * rate and buffer are the programme's (the rate given, else the codec
 * parameters' bit rate, else the rate of the packets of the run), so that a
 * receiver's buffer neither overflows nor runs dry across the run.
 *
 * Joining: the run's H.264 and HEVC parameter sets are the encoder's, with
 * the ids the programme uses too. The programme's key frame after a return
 * run must therefore carry its own (reencode_key_params puts the
 * programme's in front of one that has none), and is joined as at any
 * switch: an H.264 I picture that is not an IDR made one (h264_join), an
 * HEVC CRA picture a broken link (hevc_bla), its leading pictures left out
 * (they are in the run). MPEG-2 needs nothing: the programme's key frame
 * starts with a sequence header.
 */
#ifndef KESTROW_CODEC_REENCODE_H
#define KESTROW_CODEC_REENCODE_H

#include <cstdint>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/rational.h>
}

struct AVCodecParameters;
struct AVPacket;
struct reencode;

/* The programme's codec, profile or pixel format has no encoder here that matches it. */
#define REENCODE_UNMATCHED AVERROR(ENOTSUP)

/*
 * Sets up a re-encoder for a programme video of parameters par (copied) at
 * frame_rate. max_rate (bit/s) and buffer_size (bits): the programme's
 * buffer model, 0 for unknown (then par's bit rate, else the rate the
 * caller measured, with a buffer of one second). Returns 0 with *out set;
 * REENCODE_UNMATCHED when the codec, profile or pixel format cannot be
 * matched (the caller splices at key frames instead), AVERROR(ENOMEM).
 */
int reencode_create(reencode **out, const AVCodecParameters *par, AVRational frame_rate,
                    int64_t max_rate, int64_t buffer_size);

/* Frees *r and sets it to null; null is fine. */
void reencode_destroy(reencode **r);

/*
 * A run fed as the programme comes (a return: the pictures from the point
 * up to the next key frame arrive while the run must already air):
 *
 * reencode_begin starts a run (a fresh decoder and encoder; a run under
 * way is abandoned) of the pictures shown from from on; its packets' dts
 * are their pts less lead (90 kHz: at least the programme's own largest
 * pts - dts, so that the run decodes before the key frame it joins). rate:
 * the programme's rate in bit/s as the caller measured it, used when
 * neither reencode_create nor the codec parameters gave one. 0,
 * AVERROR(EINVAL) without a rate, or an FFmpeg code.
 *
 * reencode_feed gives it one programme packet (decoding order, 90 kHz,
 * from the key frame before from on); the pictures shown before to are
 * encoded as they are decoded, those at or after it dropped (INT64_MAX
 * while the key frame the run joins is not known). reencode_finish
 * flushes decoder and encoder, to as for feed, and ends the run. Both
 * return 0 or an FFmpeg code; after an error the run is over
 * (reencode_abort).
 *
 * reencode_take hands over the next encoded packet, in decoding order:
 * 0 with *pkt the caller's (pts, dts, duration set, the first flagged
 * key), AVERROR(EAGAIN) when none is ready. reencode_abort ends a run and
 * frees what was not taken.
 */
int reencode_begin(reencode *r, int64_t from, int64_t lead, int64_t rate);
int reencode_feed(reencode *r, const AVPacket *pkt, int64_t to);
int reencode_finish(reencode *r, int64_t to);
int reencode_take(reencode *r, AVPacket **pkt);
void reencode_abort(reencode *r);

/*
 * A run whose start is known only once its pictures are decoded (a break's
 * start: which pictures before the point are re-encoded shows when the
 * pictures after it are read): reencode_begin with from INT64_MAX decodes
 * without an encoder; reencode_hold keeps the last n pictures decoded
 * (references to the decoder's frames, display order), the rest let go.
 * reencode_rewind then starts the run at from, shown before to: the
 * encoder is opened (rate as for reencode_begin) and the held pictures
 * shown in [from, to) are encoded; feed and finish go on from there.
 * Returns 0; AVERROR(ERANGE) when a picture shown at or after from was let
 * go (the run is longer than n); AVERROR(EINVAL) when no such run is
 * under way or no rate is known; an FFmpeg code. The held pictures are
 * released either way; after an error, reencode_abort.
 */
void reencode_hold(reencode *r, int n);
int reencode_rewind(reencode *r, int64_t from, int64_t to, int64_t rate);

/*
 * reencode_rewind then reencode_finish at to, on a thread of its own, so
 * that the encoding does not hold up the caller's packets: the run is the
 * thread's until reencode_collect. Meanwhile reencode_finished tells
 * whether it has ended; any other call waits for it first (and
 * reencode_prepare, reencode_unprepare do nothing), but leaves its packets
 * to reencode_collect. Returns 0; AVERROR(ERANGE) at once when a picture
 * shown at or after from was let go (nothing started: reencode_abort);
 * AVERROR(EINVAL) when no run is under way. Without a thread the run ends
 * before it returns.
 */
int reencode_finish_async(reencode *r, int64_t from, int64_t to, int64_t rate);
bool reencode_finished(const reencode *r);
/*
 * Whether a run is still on the re-encoder's threads (reencode_finish_async
 * not ended, or the piper not done with what was posted or given up): a
 * call that works on the run would wait for it. A caller that may not wait
 * (the packet path) leaves the next run out instead.
 */
bool reencode_busy(reencode *r);
/*
 * Waits for the run reencode_finish_async started and hands over its
 * packets, in decoding order, at most max into out[0..*n) (the caller's);
 * more are freed. Returns the run's result: 0, or the FFmpeg code it ended
 * on (nothing in out then).
 */
int reencode_collect(reencode *r, AVPacket **out, int max, int *n);

/*
 * A run fed as the programme comes, on a thread of its own (a return, live):
 * after reencode_pipe(r, true) reencode_feed, reencode_rewind and
 * reencode_finish are posted to the re-encoder's thread in order and
 * return at once: 0, or the first error a call posted before met (the
 * rest of the run is dropped then). reencode_take hands over what it has
 * encoded so far without waiting; reencode_pipe_idle tells whether it has
 * run everything posted. reencode_pipe(r, false) waits for that, ends the
 * posting and returns the run's first error or 0; reencode_abort drops
 * what is posted and returns at once: the call under way ends on the
 * thread, and the run with it. Any other call that works on the run waits
 * for what is posted first (reencode_prepare and reencode_unprepare do
 * nothing meanwhile; reencode_key_params does not wait).
 */
int reencode_pipe(reencode *r, bool on);
bool reencode_pipe_idle(reencode *r);
/* How long the oldest call posted and not run to its end has waited (us); 0: none. */
int64_t reencode_pipe_lag_us(reencode *r);
/* Waits at most us for everything posted to have run: true when it has. */
bool reencode_pipe_settled(reencode *r, int64_t us);

/*
 * Opens the encoder of the next run ahead, on a thread of its own, at rate
 * (as for reencode_begin), so that the opening does not fall on the packet
 * that starts the run: the next reencode_rewind takes it (waiting for it
 * if it is still opening) with its rate, and so does reencode_begin when
 * reencode_create or the codec parameters fixed the rate (else it opens its
 * own at the rate it is given); one already opened ahead is kept. A run's
 * encoder is closed on a thread of its own too. 0; AVERROR(EINVAL) without
 * a rate; AVERROR(EAGAIN) when no thread can be started (the run opens its
 * own).
 */
int reencode_prepare(reencode *r, int64_t rate);
/* Drops the encoder opened ahead, if any (closed on a thread of its own): the next run opens its own. */
void reencode_unprepare(reencode *r);

/*
 * A whole run at once, from packets at hand: decodes pkts[0..n) (decoding
 * order, 90 kHz times, starting at a key frame) and encodes the m pictures
 * shown in [from, to); dts[k] is the decoding time of the k-th (display
 * order; splice_gop_plan gives them). On success out[0..m) hold the run's
 * packets, the caller's, with pts, dts and duration set, the first flagged
 * key, stream_index that of pkts[0]. Returns 0; an FFmpeg code from the
 * decoder or encoder; AVERROR_INVALIDDATA when the packets do not decode
 * to m pictures in the range. Nothing is left in out on failure. The rate,
 * when neither reencode_create nor the parameters gave one, is that of
 * pkts.
 */
int reencode_run(reencode *r, AVPacket *const *pkts, int n, int64_t from, int64_t to,
                 const int64_t *dts, int m, AVPacket **out);

/*
 * The programme's key frame key, which the last run joins: when it carries
 * no parameter sets (H.264 SPS and PPS, HEVC VPS, SPS and PPS) the last
 * ones the run's programme packets carried are put in front of it (key may
 * get a new buffer). 0 (also when nothing is needed); AVERROR(ENOMEM).
 */
int reencode_key_params(reencode *r, AVPacket *key);

#endif
