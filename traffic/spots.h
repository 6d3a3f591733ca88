/*
 * The spot store: the spot files a schedule names, read ahead of their
 * breaks into memory (as the filler is, splice/filler.h) and checked as the
 * filler is against the programme: a video stream of its codec and size
 * that starts on a key frame, audio on its PIDs; and whole: a file of whole
 * TS packets whose pictures follow each other without a gap (a file cut
 * short loses the pictures that depend on those cut off). Its length is
 * what its pictures show, known as soon as it is read (before any
 * programme); whoever schedules it compares that with the length it was
 * sold for (spot_short). What it holds is bounded:
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
#include "traffic/schedule.h"

struct AVFormatContext;
struct filler_ctx;

#define SPOT_WHY_SIZE 192
#define SPOT_LENGTH_TOLERANCE 9000  // ticks: a spot this much shorter than sold still airs (0.1 s)

enum spot_state {
    SPOT_WANTED = 0,   // named, not read yet (why: "not conformed yet", "no room in the spot cache")
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
    int64_t length;                   // ticks of its pictures, from the first without a gap (READ, READY)
    int64_t frame;                    // ticks of one picture (READ, READY)
    uint64_t aired;                   // when it last aired, as a count; 0: never
    int64_t needed_at;                // wall ms of the earliest window that needs it
    int pins;                         // breaks using it: it stays while > 0
    int reported;                     // its state was reported since it changed
    uint64_t stamp;                   // spot_stamp of the files when it was last read
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
 * A stamp of the files spot_read of id would read now: its file's name and
 * the size and time of the file and of its conformed copy's record; 0 when
 * there is no file. Cheap (no file is read): a stamp that changed says the
 * spot is worth reading again.
 */
uint64_t spot_stamp(const char *dir, const char *id);

/*
 * Takes the outcome of spot_read for sp: on success its media (the store
 * owns it from here, also on failure), checked against programme when that
 * is given; room is made first, evicting spots aired longest ago, then
 * never-aired ones needed later than sp. ret: spot_read's result. Returns
 * sp's new state.
 */
int spot_store_put(spot_store *s, spot *sp, int ret, const char *file, filler_ctx *media,
                   const AVFormatContext *programme);

/* Lets go of sp's media unless a break uses it: it is SPOT_WANTED, read again. False when it is in use. */
bool spot_store_unread(spot_store *s, spot *sp);

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
 * Why a READ or READY spot cannot air for a record of seconds scheduled
 * (shorter by more than SPOT_LENGTH_TOLERANCE: "too short by 3.72 s: 2.28 s
 * of pictures, 6 s scheduled") into why; false when it can.
 */
bool spot_short(const spot *sp, int seconds, char *why, size_t size);

/* Bytes the store holds. */
int64_t spot_store_bytes(const spot_store *s);

/* A spot file a schedule names, and the length to conform it to. */
struct spot_file {
    char id[EVENT_SPOT_ID_SIZE];      // the first record's spot id
    char file[EVENT_SPOT_FILE_SIZE];  // its file's name in the folder
    int seconds;                      // the longest length its records sell
};

/*
 * The files in dir that the LOI records of s name, once each in the order
 * of their first record, into a new array *out (the caller frees it; null
 * when none); records without a file are left out. Returns how many;
 * -ENOMEM; -EINVAL for a null argument.
 */
int spot_files(const schedule *s, const char *dir, spot_file **out);

#endif
