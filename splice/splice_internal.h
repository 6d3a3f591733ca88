/*
 * What the splice rules' two halves share: cue decisions (splice_cue.cpp)
 * and the packet rules (splice.cpp). Not for use outside splice/.
 */
#ifndef KESTROW_SPLICE_SPLICE_INTERNAL_H
#define KESTROW_SPLICE_SPLICE_INTERNAL_H

#include "splice/splice.h"

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

#endif
