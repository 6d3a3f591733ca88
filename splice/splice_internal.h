/*
 * What the splice rules' two halves share: cue decisions (splice_cue.cpp)
 * and the packet rules (splice.cpp and the files of splice_rules.h). Not for
 * use outside splice/.
 */
#ifndef KESTROW_SPLICE_SPLICE_INTERNAL_H
#define KESTROW_SPLICE_SPLICE_INTERNAL_H

#include "splice/splice.h"

struct AVFormatContext;
struct AVPacket;
struct filler_stream;

/*
 * The programme's time line broke (a source restart, the input lost) while a
 * break runs: the frame-accurate run under way cannot be fed on, so it is
 * given up for reason (an event_fallback). What it aired stays: the
 * programme is back there, and the rest waits for the key frame; a run that
 * aired nothing leaves the return to the next GOP held, or the key frame.
 */
void splice_accurate_abandon(const splice_env *env, int why);

/* Reports ev with the id, point and duration of the cue c (not those of the break under way). */
void splice_emit_cue(const splice_env *env, const rep_cue *c, event *ev);

/* The event armed or running in rep, as a cue. */
rep_cue splice_current_cue(const rep_ctx *rep);

/* Goes idle, or arms the first pending event. now: the time of the packet at hand. */
void splice_next_or_idle(const splice_env *env, rep_ctx *rep, int64_t now);

/* Removes the first pending event (there is one) and returns it. */
rep_cue splice_pending_pop(rep_ctx *rep);

/*
 * Whether event c's time is over at key frame pts: its announced end
 * (splice point + duration), or next's point (the event after it; may be
 * null), is reached. An immediate event or one without duration never is.
 */
bool splice_cue_passed(const rep_cue *c, const rep_cue *next, int64_t pts);

/* Reports c expired for reason (event_expire_reason) at pts; it becomes the last event. */
void splice_expire(const splice_env *env, rep_ctx *rep, const rep_cue *c, int reason, int64_t pts);

/*
 * Moves the held audio that ends by limit (margin: with another packet of
 * its length to spare), oldest first, through the audio rule of the break
 * under way (none while armed) to the queue.
 */
void splice_replay_held(const splice_env *env, rep_ctx *rep, int64_t limit, bool margin);

/* Reports ev for the break rep describes (its id, splice point and duration). */
void splice_emit(const splice_env *env, const rep_ctx *rep, event *ev);

/*
 * Index of the stream of media standing in for the stream of programme (the
 * output's streams; null: id is the video's) with this stream id, matched by
 * kind and order (filler_match), or -1: none matches, or the one that does
 * has another codec.
 */
int splice_filler_stream(const filler_ctx *media, const AVFormatContext *programme, int id);

/* Whether breaks air a sequence that runs up to their end: with a planner, or an open break. */
bool splice_sequence(const splice_env *env, const rep_ctx *rep);

/*
 * Lays out the content of the break starting at key frame pts start, whose
 * video has stream id id and which ends at end: the planner's spots that
 * fit, back to back, then the filler. Returns the spots laid out, or
 * SPLICE_PLAN_LEAVE when the planner leaves the programme on air.
 */
int splice_content_start(const splice_env *env, rep_ctx *rep, int64_t start, int id, int64_t end);

/* Media of item k of c and its offset from c->start; null past the end. */
const filler_ctx *splice_item(const splice_env *env, const rep_content *c, int k, int64_t *offset);

/*
 * The stream (stream id id) of item k: *media the item's media (null past
 * the end), *fi its index (may be null); null when the item has no such stream.
 */
const filler_stream *splice_item_stream(const splice_env *env, const rep_content *c, int k, int id,
                                        const filler_ctx **media, int *fi, int64_t *offset);

/* The content stream record r follows: the break's, or the one before up to r's switch_at. */
const rep_content *splice_content_of(const rep_ctx *rep, const rep_stream *r);

/* The largest pts shift any video of c needs (see splice_video_pts_shift). */
int64_t splice_content_pts_shift(const splice_env *env, const rep_content *c, int id, int64_t delay);

/* Whether the audio of c for r (stream id id) is used up: its last item has no packet left. */
bool splice_audio_over(const splice_env *env, const rep_content *c, const rep_stream *r, int id);

enum {
    SPLICE_AUDIO_PACKET = 0,  // *out: the next packet
    SPLICE_AUDIO_SILENT,      // nothing for this stream up to limit: r->sent_dts moved there
    SPLICE_AUDIO_END,         // the content has no more audio for the stream
    SPLICE_AUDIO_NOMEM,
};

/*
 * The next audio packet of c for r (output stream s, stream id id), a
 * clone timed at r->sent_dts and cut where the next item begins; r moves
 * on. limit: where the programme packet at hand ends (silence goes no
 * further). Returns a SPLICE_AUDIO_* value.
 */
int splice_next_audio(const splice_env *env, const rep_content *c, rep_stream *r, int s, int id, int64_t limit,
                      AVPacket **out);

/* Reports spot k of the break's content started (once, in order). */
void splice_spot_started(const splice_env *env, rep_ctx *rep, int k);

enum { SPLICE_SPOTS_RETURN = 0, SPLICE_SPOTS_SESSION_END, SPLICE_SPOTS_SKIPPED };

/*
 * Reports every spot of the break's plan ended, in plan order: end is where
 * the video returned (or, at a session end, how far it got); how says why
 * the break ended.
 */
void splice_spots_ended(const splice_env *env, const rep_ctx *rep, int64_t end, int how);

#endif
