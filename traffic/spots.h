/*
 * The spot store: the spot files a schedule names, read ahead of their
 * breaks into memory (as the filler is, splice/filler.h) and checked as the
 * filler is against the programme: a video stream of its codec and size
 * that starts on a key frame, audio on its PIDs; and whole: a file of whole
 * TS packets whose pictures follow each other without a gap (a file cut
 * short loses the pictures that depend on those cut off). Its length is
 * what its pictures show; whoever schedules it compares that with the
 * length it was sold for (spot_short). What it holds is bounded:
 * to make room, the spots aired longest ago go first, then those needed
 * latest; a spot a break uses (pinned) stays.
 *
 * The file of spot id is <dir>/<id>.<any extension>, or the id without its
 * leading zeros; the store loads its conformed copy from the cache beside
 * it (conform/conform.h), or a transport stream not conformed yet as it is.
 * Reading (spot_read) touches only its arguments, so that it can run
 * without the lock of whoever owns the store; the store itself is not
 * thread-safe.
 */
#ifndef KESTROW_TRAFFIC_SPOTS_H
#define KESTROW_TRAFFIC_SPOTS_H

#include <cstddef>
#include <cstdint>

#include "event/event.h"

struct AVFormatContext;
struct filler_ctx;

#define SPOT_WHY_SIZE 192

enum spot_state {
    SPOT_WANTED = 0,   // named, not read yet (why: "no room in the spot cache" when it did not fit)
    SPOT_READ,         // in memory, not yet checked against a programme
    SPOT_READY,        // in memory and fit for the programme
    SPOT_MISSING,      // no file for it
    SPOT_UNUSABLE,     // unreadable or unfit (why says)
};

struct spot {
    char id[EVENT_SPOT_ID_SIZE];
    char file[EVENT_SPOT_FILE_SIZE];  // its file's name in the folder; "" until found
    int state;                        // spot_state
    filler_ctx *media;                // READ and READY
    int64_t bytes;                    // packet data held
    int64_t length;                   // ticks of its pictures, from the first without a gap (READY)
    int64_t frame;                    // ticks of one picture (READY)
    uint64_t aired;                   // when it last aired, as a count; 0: never
    int64_t needed_at;                // wall ms of the earliest window that needs it
    int pins;                         // breaks using it: it stays while > 0
    int reported;                     // its state was reported since it changed
    char why[SPOT_WHY_SIZE];          // what made it unusable
};

struct spot_store;

/* A new empty store for the spot files in dir, holding at most cache_bytes. 0; -EINVAL; -ENOMEM. */
int spot_store_create(spot_store **out, const char *dir, int64_t cache_bytes);

/* Frees the store and every spot it holds; *p becomes null. 0; -EINVAL for a null pointer or store. */
int spot_store_destroy(spot_store **p);

/* The store's folder. */
const char *spot_store_dir(const spot_store *s);

/* The spot with this id, or null. */
spot *spot_store_find(spot_store *s, const char *id);

/* The spot with this id, added as SPOT_WANTED when new; null without memory. */
spot *spot_store_want(spot_store *s, const char *id);

/* Spot number i (from 0) in the order they were added, or null past the last. */
spot *spot_store_at(spot_store *s, int i);

/*
 * Reads the file of spot id in dir (blocking): its name into file (size
 * bytes) and its media into *media. 0; -2 (ENOENT) when no file is there,
 * with file ""; -EAGAIN when it is not conformed yet; CONFORM_ERR_FAILED
 * when it cannot be; the loader's code when it cannot be read. On failure
 * *media is null.
 */
int spot_read(const char *dir, const char *id, char *file, size_t size, filler_ctx **media);

/*
 * Takes the outcome of spot_read for sp: on success its media (the store
 * owns it from here, also on failure), checked against programme when that
 * is given; room is made first, evicting spots aired longest ago, then
 * never-aired ones needed later than sp. ret: spot_read's result. Returns
 * sp's new state.
 */
int spot_store_put(spot_store *s, spot *sp, int ret, const char *file, filler_ctx *media,
                   const AVFormatContext *programme);

/*
 * Checks every spot in memory against programme (READ or READY become
 * READY or SPOT_UNUSABLE). Returns how many are unusable.
 */
int spot_store_check(spot_store *s, const AVFormatContext *programme);

/*
 * Forgets every spot that no break uses and named(opaque, id) does not
 * name (a schedule that replaced the one naming them). Returns how many.
 */
int spot_store_prune(spot_store *s, bool (*named)(void *opaque, const char *id), void *opaque);

/*
 * Why a READY spot cannot air for a record of seconds scheduled (shorter by
 * more than a picture: "2.28 s of pictures, 6 s scheduled") into why; false
 * when it can.
 */
bool spot_short(const spot *sp, int seconds, char *why, size_t size);

/* Bytes the store holds. */
int64_t spot_store_bytes(const spot_store *s);

#endif
