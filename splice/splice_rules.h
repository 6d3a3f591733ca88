/*
 * What the files of the packet rules share (splice.cpp: the key-frame rules
 * and the packet's way through them; splice_start.cpp: frame-accurate
 * starts; splice_return.cpp: frame-accurate returns; splice_tail.cpp: the
 * filler's out point; splice_audio.cpp; splice_video.cpp: the filler's
 * video). Each is described where it is defined. Not for use outside splice/.
 */
#ifndef KESTROW_SPLICE_SPLICE_RULES_H
#define KESTROW_SPLICE_SPLICE_RULES_H

#include <cstdint>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/rational.h>
}

#include "splice/splice.h"
#include "splice/splice_internal.h"

struct filler_tail;
struct filler_stream;

/*
 * Pictures a GOP's time line may skip (pictures lost with the input) and
 * still be decoded on: more leave the decoder without its references.
 */
#define ACCURATE_GAP_FRAMES 4

/*
 * Live, the longest the return's key frame waits for the last pictures of
 * a run the re-encoder's thread encodes (the packet path waits, and so does
 * the output past its margin); not done by then, the run ends where it aired.
 */
#define ACCURATE_KEY_WAIT_US 100000

/*
 * How far before a point (a start's or an end's) a key frame may take it:
 * with frame-accurate splices none (a picture shown before the point is
 * the programme's, so a key frame before it is never the point, and a
 * start or return that falls back waits for the first key frame at or
 * after it), else SPLICE_KEY_LEAD.
 */
static inline int64_t splice_key_lead(const splice_env *env)
{
    return env->accurate ? 0 : SPLICE_KEY_LEAD;
}

static inline int64_t splice_packet_end(const AVPacket *pkt)
{
    return pkt->pts + pkt->duration;
}

/* splice.cpp: the key-frame rules */
void splice_queue(const splice_env *env, AVPacket *pkt);
int64_t splice_break_end(const rep_ctx *rep, int *reason);
bool splice_start_break_at(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, int s, int64_t pts,
                           int64_t dts, int reencoded, int fallback);

/* splice_start.cpp: the frame-accurate start */
void splice_start_release(const splice_env *env);
/*
 * The start's run handed to the re-encoder's thread (splice_desc.run_budget_us):
 * once it has ended, its pictures are queued and the video that waited
 * behind them after; past the budget they are left out and the video goes
 * on without them (EVENT_RUN_LEFT_OUT, late). wait: waits for the run
 * instead (the session ends, the queue behind it is full). rep: the break
 * its events are reported for (null: none).
 */
void splice_start_settle(const splice_env *env, const rep_ctx *rep, bool wait);
bool splice_start_accurate(const splice_env *env, const rep_ctx *rep, const AVStream *ist);
int splice_start_key_why(const splice_env *env, const rep_ctx *rep, const AVStream *ist, const AVPacket *pkt);
void splice_start_keep(const splice_env *env, const AVStream *ist, const AVPacket *pkt);
bool splice_start_step(const splice_env *env, rep_ctx *rep, rep_stream *r, int fi, const AVStream *ist,
                       AVPacket **ppkt);

/* splice_return.cpp: the frame-accurate return, and what starts share with it */
void splice_free_queued(packets_queue *q);
void splice_note_gop_rate(splice_accurate *a, const AVPacket *key);
void splice_accurate_clear(splice_accurate *a);
int64_t splice_frame_ticks(const AVStream *ist, AVRational *rate);
void splice_note_key(splice_accurate *a, int64_t pts);
bool splice_key_due_at(const splice_accurate *a, int64_t key_pts, int64_t point, int64_t frame);
void splice_accurate_flush(const splice_env *env, rep_ctx *rep, rep_stream *r, int s);
/* Live: what the re-encoder's thread has encoded of the running run airs (any packet read, before its rules). */
void splice_accurate_poll(const splice_env *env, rep_ctx *rep);
void splice_note_open_gop(splice_accurate *a, const AVPacket *pkt);
bool splice_accurate_follows(const splice_accurate *a, const AVStream *ist, const AVPacket *pkt);
void splice_accurate_keep(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist, int64_t end,
                          AVPacket **ppkt);
int splice_accurate_return(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist, int64_t end,
                           const AVPacket *key, int *m, int64_t *back);
/*
 * Open GOPs: the programme's key frame *ppkt shown at or after end, which
 * ends the break, is held (taken: true) until its leading pictures, shown
 * before it, have been read. A running run is fed the key frame and takes
 * them as any picture of the break (their references are in the GOP the
 * run decodes; the switch mark on the key frame makes it an IDR or a
 * broken link, as at any switch); without a run they are left out and the
 * filler shows in their place. Then splice_accurate_key_goes, on each
 * video packet pkt before its rules: the key frame held when pkt is not one
 * of them (the caller's: its rules end the break, the run finished at it),
 * decoded in its last leading picture's place, as many as came (a GOP
 * may have fewer than the one before); null while it waits or when none
 * is held. A break cut meanwhile takes it with splice_accurate_take_key
 * (null: none).
 */
bool splice_accurate_hold_key(const splice_env *env, int64_t end, AVPacket **ppkt);
AVPacket *splice_accurate_key_goes(const splice_env *env, const rep_ctx *rep, const AVStream *ist, const AVPacket *pkt);
AVPacket *splice_accurate_take_key(splice_accurate *a);
/* The key frame key after a run that aired is decoded after its last packet (its dts moved up to its pts). */
void splice_accurate_follow_run(const splice_accurate *a, AVPacket *key);

/* splice_tail.cpp: the filler's out point */
void splice_tail_destroy(filler_tail **t);
void splice_filler_tail_ahead(const splice_env *env, const rep_ctx *rep, const rep_stream *r, int s,
                              const AVStream *ist, const AVPacket *pkt, int64_t end);
int splice_filler_out_point(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit,
                            int64_t bound);

/* splice_audio.cpp */
void splice_pass_audio(const splice_env *env, rep_ctx *rep, AVPacket *pkt);

/* splice_video.cpp: the filler's video */
void splice_filler_video_times(const rep_stream *r, const filler_ctx *media, int fi, int64_t offset,
                               const AVPacket *p, int64_t prev_end, int64_t *dts, int64_t *pts);
const filler_stream *splice_video_item(const splice_env *env, const rep_ctx *rep, int s, int k,
                                       const filler_ctx **media, int *fi, int64_t *offset);
void splice_release_filler(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit, bool whole);
void splice_release_filler_video(const splice_env *env, const rep_ctx *rep, rep_stream *r, int s, int64_t limit);
bool splice_take_filler_video(const splice_env *env, rep_ctx *rep, rep_stream *r, int s, int64_t until);
void splice_replace_video(const splice_env *env, rep_ctx *rep, rep_stream *r, const AVStream *ist,
                          int64_t shown_after, AVPacket **ppkt);

#endif
