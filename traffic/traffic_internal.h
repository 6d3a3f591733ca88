/*
 * The traffic controller's own record and what its files share: traffic.cpp
 * (the controller's life, its counts, the plan before air), traffic_air.cpp
 * (the packet path: the planner and the event intake, quick and without a
 * file) and traffic_files.cpp (the file work of traffic_poll). For those
 * files only: the programs use traffic.h.
 *
 * The record is in two: what the packet path keeps (traffic_air) and what the
 * file work keeps (traffic_files); the schedule in force, the spot store and
 * the verification file's lag are both sides', behind the one lock, which is
 * never held across a file access. What the layer reports is noted under the
 * lock (traffic_note) and handed to the program's sink as typed events once
 * the lock is let go; event/ words them.
 */
#ifndef KESTROW_TRAFFIC_TRAFFIC_INTERNAL_H
#define KESTROW_TRAFFIC_TRAFFIC_INTERNAL_H

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "event/event.h"
#include "splice/splice.h"
#include "traffic/schedule.h"
#include "traffic/spots.h"
#include "traffic/traffic.h"

struct AVFormatContext;

/*
 * The breaks of one window so far. A break gets its number from the cue that
 * opens it, when the cue arms it (or when it starts, without one): a break
 * cancelled before it starts keeps its number, and the next one does not
 * take it over.
 */
struct traffic_window {
    int64_t start_ms;
    int minutes;
    int started;    // the highest break number started
    int numbered;   // break numbers given so far
    std::vector<std::pair<uint32_t, int>> armed;  // cue id and its break's number, until it starts or is called off
};

/* A file as stat sees it: a new or rewritten file differs. */
struct traffic_file_id {
    std::string path;
    dev_t dev;
    ino_t ino;
    off_t size;
    int64_t mtime_ns;
    bool operator==(const traffic_file_id &o) const
    {
        return path == o.path && dev == o.dev && ino == o.ino && size == o.size && mtime_ns == o.mtime_ns;
    }
};

/* The packet path's side: the breaks planned and what aired, the spots they hold and ask for. */
struct traffic_air {
    int64_t generation = 0;              // counts the schedules put in force (a spot's tag names its schedule)
    std::vector<traffic_window> windows;
    std::vector<std::string> pinned[2];  // spots of the last two breaks planned
    std::vector<std::pair<int, int>> wanted;  // (a record of the window, break number) to read ahead
    std::vector<std::pair<int, int>> retry;   // of them, those that found no room: asked again when spots are let go
    int planned_window = -1;             // record of the window of the break under way
    int aired_in_break = 0;
    uint64_t aired_count = 0;
    int64_t spots_aired = 0, spots_missed = 0;
    std::atomic<int> unmeasured{0};      // records whose aired time awaits the sender's measure (air_pts)
};

/* The file work's side: where the files are, and what it found of them. */
struct traffic_files {
    std::string schedule_option, spots_dir, channel, headend, verification_option;
    traffic_file_id in_force = {}, refused = {};
    std::string ver_path;
    bool read_all = false;               // read ahead every spot of the schedule
    int state = TRAFFIC_SCHEDULE_NONE;   // traffic_schedule_state
    std::string expected;                // the file looked for at the last poll
    int warned_day = -1;                 // the local day (yyyymmdd) the schedule's state was last warned of
    bool ver_failing = false;            // the verification file's last write failed
    int64_t ver_logged_ms = 0;           // when that was last said
    int64_t files_seen[2] = {-1, -1};    // the times of the spots folder and of its cache folder
};

struct traffic {
    std::mutex lock;
    std::condition_variable wake;
    bool work = false;
    const event_air_clock *clock = nullptr;
    event_sink sink = {};
    splice_planner planner = {};
    schedule *sched = nullptr;           // in force; null: none
    spot_store *store = nullptr;
    AVFormatContext *programme = nullptr;  // a copy of the session's streams
    bool dirty = false;                  // the verification file is behind
    std::atomic<bool> short_of_memory{false};  // said once: a callback ran out of memory
    traffic_air air;
    traffic_files files;
};

/* One event the layer reports, noted under the lock; its strings are its own. */
struct traffic_note {
    event_type type;
    int reason = 0;
    int result = 0;
    int64_t count = 0;
    std::string schedule, file, text;
    event_traffic where = {};            // but for its strings and spots, filled when reported
    bool has_spot = false;
    event_spot spot = {};
    std::vector<event_spot> spots;
};

typedef std::vector<traffic_note> traffic_notes;

/* A note of type added to notes. */
traffic_note &traffic_note_add(traffic_notes *notes, event_type type);

/* Hands the notes to the program's sink as events, outside the lock. */
void traffic_report(const traffic *t, const traffic_notes &notes);

/*
 * A callback the splice rules or the program call through a C pointer ran out
 * of memory and fell back (step: event_memory_step): said once, without allocating.
 */
void traffic_short_of_memory(traffic *t, int step);

int64_t traffic_wall_now_ms();

/* The planner of the splice rules (splice_planner.plan; opaque: the traffic), in traffic_air.cpp. */
int traffic_plan_break(void *opaque, const splice_break *b, rep_spot *spots, int max);

/* The window of record r; a new one when add, else null when none. Under the lock. */
traffic_window *traffic_window_of(traffic *t, const schedule_record *r, bool add);

/* The records' air_pts counted again (a new schedule, or a new session whose sender knows nothing older). */
void traffic_recount_unmeasured(traffic *t, bool forget);

/*
 * The status of a record whose spot sp (null: never named to the store)
 * does not air for want of a file fit to air: shorter than sold (short),
 * missing or unusable, else not ready in time (not read or conformed yet).
 */
int traffic_unfit_status(const spot *sp, bool short_spot);

/*
 * What the LOI record r is set to do as things stand (under the lock):
 * traffic_spot_outlook, with the status it has or would get (0 while
 * undecided) and why it would not air.
 */
int traffic_outlook_of(traffic *t, const schedule_record *r, int *status, char *why, size_t size);

#endif
