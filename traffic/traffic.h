/*
 * A channel's traffic: the schedule in force (a .SCH file, or the day's file
 * in a folder), the spot store, which spots each break airs, and the
 * verification file that tells the traffic system what aired.
 *
 * Two sides meet under one short lock. On the packet path the splice rules
 * ask the planner (traffic_planner) what a break airs, and the program's
 * event sink hands over what they report (traffic_on_event): quick, no file
 * is touched there. Everything that waits on files (reading a new or
 * rewritten schedule, reading spots ahead, closing windows that ended,
 * rewriting the verification file) happens in traffic_poll, which the
 * service runs on a thread of its own and the demo between packets.
 *
 * A break is placed by the wall clock of its splice point at the output
 * (the program's air clock): the Nth break to start in a window airs the
 * LOI records of break number N, in position order; a NUL record leaves
 * the programme on air; a break outside every window, or without records,
 * airs the filler. What the layer has to say goes to the program's event
 * sink as typed events (EVENT_BREAK_PLANNED ... EVENT_TRAFFIC_NO_MEMORY),
 * worded by event/event_text.h as every other layer's.
 *
 * Before air, every spot of the schedule is known as far as its file goes
 * (traffic_plan): ready, still pending (not read or conformed yet), or
 * not to air and why (no file, unusable, shorter than sold), as soon as
 * its file is read; an event (EVENT_SPOT_WILL_NOT_AIR) says so once for
 * each spot of a window that begins within TRAFFIC_WARN_AHEAD_MS. The spot
 * files and their conformed copies are watched: a file that lands or
 * changes, or a copy made, is read again at the next poll.
 */
#ifndef KESTROW_TRAFFIC_TRAFFIC_H
#define KESTROW_TRAFFIC_TRAFFIC_H

#include <cstdint>

#include "event/event.h"
#include "splice/event_asrun.h"
#include "traffic/schedule.h"

#define TRAFFIC_WARN_AHEAD_MS 3600000  // a spot that will not air is said when its window is this close

struct AVFormatContext;
struct splice_planner;
struct traffic;

struct traffic_config {
    const char *schedule;          // a .SCH file, or a folder into which each day's file is dropped
    const char *spots;             // folder of the spot files
    const char *channel_id;        // with a folder: CC of the day's file name
    const char *headend_id;        // with a folder: HHH
    const char *verification;      // a file or folder; null or "": beside the schedule
    int64_t cache_bytes;           // spot media held at most
    const event_air_clock *clock;  // the program's air clock, read on the packet path
    event_sink sink;               // what the layer reports; called outside its lock, from the thread of the
                                   // call that reports (the packet path's or traffic_poll's); fn may be null
};

/* Where the channel stands with its schedule. */
enum traffic_schedule_state {
    TRAFFIC_SCHEDULE_NONE = 0,     // none was ever read
    TRAFFIC_SCHEDULE_IN_FORCE,     // today's is in force
    TRAFFIC_SCHEDULE_MISSING,      // no file for today (another day's may stay in force)
    TRAFFIC_SCHEDULE_OTHER_DAY,    // the file in force is dated another day: its windows are not today's
    TRAFFIC_SCHEDULE_UNREADABLE,   // today's file cannot be used
};

/* "none", "in_force", "missing", "other_day", "unreadable". */
const char *traffic_schedule_state_name(int state);

struct traffic_stats {
    char schedule[SCHEDULE_PATH_SIZE];  // the schedule file in force; "" when none
    int state;                          // traffic_schedule_state
    char expected[SCHEDULE_PATH_SIZE];  // the file looked for today
    char verification[SCHEDULE_PATH_SIZE];  // the verification file of the schedule in force
    int verification_failing;           // its last write failed (retried at every poll)
    int spots;                          // its LOI records
    int64_t spots_aired;                // records aired in full, since the start
    int64_t spots_missed;               // records given another final status
};

/* What a scheduled spot is set to do, as far as is known before its break. */
enum traffic_spot_outlook {
    TRAFFIC_SPOT_READY = 0,     // read and fit: it airs when its break has room for it
    TRAFFIC_SPOT_PENDING,       // not known yet: not read, not conformed yet, or no room to read it yet
    TRAFFIC_SPOT_WILL_NOT_AIR,  // its file is missing, unusable or shorter than sold (why says)
    TRAFFIC_SPOT_DONE,          // its status is decided (its break came, or its window ended)
};

/* "ready", "pending", "will_not_air"; a decided one: "aired" (0001) or "not_aired". */
const char *traffic_spot_outlook_name(int outlook, int status);

/* One LOI record of the schedule in force, as it stands. */
struct traffic_spot_plan {
    int64_t window_ms;                  // wall ms of its window's start
    int window_minutes;
    int break_number, position;
    int seconds;                        // scheduled length
    char id[SCHEDULE_ID_SIZE];
    char file[EVENT_SPOT_FILE_SIZE];    // "" when not found (yet)
    int outlook;                        // traffic_spot_outlook
    int status;                         // its status; WILL_NOT_AIR: the one it will get; 0: undecided
    char why[EVENT_SPOT_WHY_SIZE];      // why it will not air, or what it waits for (PENDING)
};

/*
 * The LOI records of the schedule in force, in file order, into a new
 * array in *out (the caller frees it). Returns how many (0: none, *out
 * null); -ENOMEM.
 */
int traffic_plan(traffic *t, traffic_spot_plan **out);

/*
 * A controller for config (strings copied); nothing is read yet. 0; -EINVAL for
 * a null argument or a missing schedule or spots folder; -12.
 */
int traffic_create(traffic **out, const traffic_config *config);

/* Frees *p (the spots it holds included); *p becomes null. 0; -EINVAL for a null pointer or record. */
int traffic_destroy(traffic **p);

/* The planner for the splice rules (splice_desc.planner); valid as long as t. */
const splice_planner *traffic_planner(traffic *t);

/*
 * Takes what the splice rules report (packet path): an armed or kept event
 * asks for its break's spots to be read, a cancel (or an event expired or
 * dropped: it will not air) is noted for its window, a spot's end goes
 * into its record. Returns 1 when traffic_poll has work to do.
 */
int traffic_on_event(traffic *t, const event *ev);

/*
 * Gives the records whose aired time waits for the sender's measure the
 * measures the air clock holds now: at a session's end, for the pictures
 * that left after its last event. Called where traffic_on_event is (the
 * air clock's thread). Returns 1 when traffic_poll has work to do, else 0.
 */
int traffic_measure(traffic *t);

/*
 * The programme the spots must fit (the streams of the session's input that
 * breaks go into, in a context of their own): every spot held is checked
 * against it. Takes *programme (freed at once without t); it becomes null.
 * May be called from the packet path: no file is read.
 */
void traffic_set_programme(traffic *t, AVFormatContext **programme);

/*
 * The file work, at wall time now_ms: picks up a new or rewritten schedule
 * (one that cannot be used leaves the one in force and says so), closes
 * the windows that ended, reads the spots asked for, reports spots that
 * cannot air, rewrites the verification file when something changed.
 * Says (once a day) when there is no file for the day, or the file is
 * dated another day. Returns 0, or the verification file's write error
 * (reported when it starts and then at most once a minute; retried at the
 * next call).
 */
int traffic_poll(traffic *t, int64_t now_ms);

/* Waits until traffic_on_event asks for work, traffic_wake is called or timeout_ms pass. */
void traffic_wait(traffic *t, int timeout_ms);

/* Ends a traffic_wait at once (a stop). */
void traffic_wake(traffic *t);

/* Copies the schedule in force and the counts into *out. */
void traffic_get_stats(traffic *t, traffic_stats *out);

#endif
