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

/* Goes idle, or arms the kept event. now: the time of the packet at hand. */
void splice_next_or_idle(const splice_env *env, rep_ctx *rep, int64_t now);

/*
 * Moves the held audio that ends by limit (margin: with another packet of
 * its length to spare), oldest first, through the audio rule of the break
 * under way (none while armed) to the queue.
 */
void splice_replay_held(const splice_env *env, rep_ctx *rep, int64_t limit, bool margin);

#endif
