/*
 * Channel status: what the stream session reports as it runs, read by the
 * control server for kestrow.status and /metrics. The record lives in the
 * value-initialised application context: zeros, the state "starting". Counters and gauges are atomics; the last event and the
 * input's health sit behind a small lock. Each counter has one writer (the
 * session); the input's health any number of watchers; any thread reads.
 */
#ifndef KESTROW_SERVICE_STATUS_H
#define KESTROW_SERVICE_STATUS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/asrun.h"
#include "common/mpegts.h"
#include "net/udp_out.h"
#include "traffic/traffic.h"
#include "net/input_merge.h"
#include "net/rtp_in.h"
#include "net/srt_link.h"
#include "ts/ts_out.h"

enum channel_state {
    STATE_STARTING,   // before the first session opened its input
    STATE_NO_INPUT,   // waiting for the input, or it stopped
    STATE_IDLE,       // relaying, no break scheduled
    STATE_ARMED,      // a break is scheduled
    STATE_IN_BREAK,   // the filler is on air
    STATE_INPUT_LOST,     // the input was up and nothing has come since (shown over the states above)
    STATE_INPUT_INVALID,  // what arrives is not MPEG-TS (shown over the states above)
    STATE_COUNT
};

/* The input's health, as its watchers report it (status_input_*). */
enum input_health {
    INPUT_UNSEEN,     // not up yet since the start
    INPUT_UP,         // MPEG-TS arrives
    INPUT_LOST,
    INPUT_INVALID,
};

#define STATUS_RATE_WINDOW_US 1000000  // bitrate measured over one second
#define STATUS_SCHEDULE_SIZE  4096     // the schedule file's path
#define STATUS_RATE_STALE_US  2000000  // a rate older than this reads as 0

/*
 * The output's checks: the output stage's (ts_out_check, what it sends by
 * the stream's clock), then the sender's (what left by the wall clock): a
 * spell of datagrams sent more than STATUS_LATE_ALARM_US after their time
 * once the schedule has settled (a receiver sees the PCRs that late), and
 * datagrams the kernel refused.
 */
enum {
    STATUS_CHECK_LATE = TS_OUT_CHECK_COUNT,
    STATUS_CHECK_SEND,
    STATUS_CHECK_COUNT
};
#define STATUS_LATE_ALARM_US  40000    // later than this, a receiver sees PCRs more than 40 ms apart
#define STATUS_LATE_SPANS     6        // the worst lateness of the last minute, in spans of
#define STATUS_LATE_SPAN_US   10000000 // ten seconds

/* "pat_interval" ... "continuity", "late", "send"; null out of range. */
const char *status_check_name(int check);

/* What left the sender: its lateness and its refusals, since the start (the sender's thread writes). */
struct send_meter {
    std::atomic<int64_t> late[UDP_OUT_LATE_BUCKETS + 1];  // datagrams by lateness (udp_out_late_bounds_us)
    std::atomic<int64_t> late_sum_us;
    std::atomic<int64_t> span_max[STATUS_LATE_SPANS];     // worst lateness of each span, µs
    std::atomic<int64_t> span_at[STATUS_LATE_SPANS];      // µs (monotonic) when each span began
    std::atomic<int64_t> errors[UDP_OUT_ERR_COUNT];       // datagrams refused, by cause
    int64_t late_since;                                   // sender only: µs a late spell began; 0: none
};

/* Packets and bytes of one direction and the bitrate of its last full second. */
struct rate_meter {
    std::atomic<int64_t> packets;
    std::atomic<int64_t> bytes;
    std::atomic<int64_t> bitrate;      // bit/s over the last finished window
    std::atomic<int64_t> bitrate_at;   // µs (monotonic) when that window ended; 0 = none yet
    int64_t window_start;              // writer only: µs when the current window began; 0 = none
    int64_t window_bytes;              // writer only
};

struct channel_status {
    std::atomic<int> state;                 // channel_state
    std::atomic<int64_t> session_start;     // µs (monotonic); 0 = no session running
    rate_meter in;
    rate_meter out;
    std::atomic<int64_t> overruns;          // input overruns (data lost before it was read)
    std::atomic<int64_t> cues;
    std::atomic<int64_t> breaks_aired;
    std::atomic<int64_t> breaks_skipped;
    std::atomic<int64_t> reencoded;         // pictures re-encoded for frame-accurate starts and returns
    std::atomic<int64_t> accurate_fallbacks;  // starts and returns that stayed on the key frame (a reason in their record)
    std::atomic<int64_t> pass_dropped;      // packets passing through (other programmes, SI) dropped: no room out
    std::atomic<int64_t> fast_dropped;      // packets of an input faster than real time left out
    std::atomic<int64_t> output_errors[STATUS_CHECK_COUNT];  // the output's own checks failed, by check
    send_meter sent;                        // the sender's lateness and refusals
    std::atomic<int64_t> input_cc[TS_PID_COUNT];  // continuity breaks the input brought on each PID passing through
    std::mutex event_lock;                  // guards the fields below
    int has_event;
    asrun_record last_event;
    std::atomic<int> input;                 // input_health; written under the lock
    int64_t outage_start;                   // µs (monotonic) the input went down from up; 0: none running
    int64_t input_losses;                   // times the input went down from up
    int64_t input_lost_us;                  // µs down in the outages that ended
    char schedule[STATUS_SCHEDULE_SIZE];    // the schedule in force; "" when none
    std::atomic<int64_t> schedule_spots;    // spots it names
    std::atomic<int64_t> spots_aired;       // records aired in full since the start
    std::atomic<int64_t> spots_missed;      // records given another final status
    std::atomic<int> schedule_state;        // traffic_schedule_state (traffic/traffic.h)
    std::atomic<int> verification_failing;  // 1 while the verification file cannot be written
    std::atomic<int64_t> spots_conformed;   // spot files of the schedule in the channel's format (conform_thread.h)
    std::atomic<int64_t> spots_conform_pending;  // waiting to be conformed or being conformed
    std::atomic<int64_t> spots_conform_failed;   // that cannot be conformed
    std::vector<traffic_spot_plan> plan;    // the schedule's spots as they stand before air (under event_lock)
    std::atomic<int> filler_measured;       // 1 once the filler's loudness is known
    std::atomic<double> filler_lufs;        // the integrated loudness of the filler on air (or to be)
    /* The input's and output's SRT links and the RTP input, under event_lock; each used once set. */
    int srt_used[2];                        // STATUS_SRT_INPUT, STATUS_SRT_OUTPUT
    srt_link_stats srt[2];
    int rtp_used;
    rtp_stats rtp;
    /* The channel's two sources (--backup-src-addr), under event_lock; used once set. */
    int inputs_used;
    int input_active;                       // MERGE_MAIN or MERGE_BACKUP
    merge_health inputs[MERGE_INPUTS];
    merge_counts merge;
};

#define STATUS_SRT_INPUT  0
#define STATUS_SRT_OUTPUT 1

/* Monotonic clock in µs, the time base of every now_us below. */
int64_t status_now_us(void);

/* "starting", ..., "in_break"; "unknown" for a value outside channel_state. */
const char *status_state_name(int state);

/* Setters: the session calls these. A null record is ignored. */
/* The channel's own state, STATE_STARTING .. STATE_IN_BREAK; the input's states come from below. */
void status_set_state(channel_status *s, int state);
void status_session_started(channel_status *s, int64_t now_us);
void status_session_ended(channel_status *s);   // uptime reads 0, state "no_input"

/*
 * Counts packets of bytes in total in (or out) at now_us and closes the
 * current one-second window when it is due: the bitrate becomes the window's
 * bytes * 8 over its length. One thread per direction calls it.
 */
void status_count_in(channel_status *s, int64_t packets, int64_t bytes, int64_t now_us);
void status_count_out(channel_status *s, int64_t packets, int64_t bytes, int64_t now_us);

void status_add_overruns(channel_status *s, int64_t n);
void status_add_pass_dropped(channel_status *s, int64_t n);
void status_add_fast_dropped(channel_status *s, int64_t n);
/* n more continuity breaks the input brought on pid (passed as they came); nothing for a PID out of range. */
void status_add_input_cc(channel_status *s, int pid, int64_t n);

/* n more failures of the output's check (STATUS_CHECK_COUNT of them); nothing for a check out of range. */
void status_add_output_errors(channel_status *s, int check, int64_t n);

/*
 * A batch the sender sent (its thread): counted out (status_count_out), its
 * lateness into the histogram and the minute's worst, a late spell that
 * begins (once steady) into the output's checks (STATUS_CHECK_LATE), its refusals by cause
 * and into the checks (STATUS_CHECK_SEND). Returns 1 when a late spell
 * began with it, else 0.
 */
int status_sent(channel_status *s, const udp_out_report *rep);

/* The worst lateness (µs) of the datagrams sent in the last minute; 0 when none was late. */
int64_t status_late_max_us(const channel_status *s, int64_t now_us);

/*
 * The input's health, reported by whoever watches it (the receiver, the
 * session); a report that changes nothing is ignored, so two watchers may
 * report the same change. Lost: nothing has come for a while; it counts only
 * after the input was up. Invalid: what arrives is not MPEG-TS. A change from
 * up to lost or invalid starts an outage, counted in the losses; back (MPEG-TS
 * arrives) ends it, adds its length to the time lost and starts the session
 * uptime afresh. While the input is lost or invalid, status_state says so and
 * the uptime reads 0. Lost and invalid return 1 when they changed the state,
 * else 0; back returns the µs of the outage it ended (at least 1), else 0.
 */
int status_input_lost(channel_status *s, int64_t now_us);
int status_input_invalid(channel_status *s, int64_t now_us);
int64_t status_input_back(channel_status *s, int64_t now_us);

/* Stores r as the last event and counts it: a cue, an aired break (at its break_end) or a skipped one. */
void status_event(channel_status *s, const asrun_record *r);

/* The schedule in force (path; "" or null: none), the spots it names, and the spot counts so far. */
void status_set_schedule(channel_status *s, const char *path, int64_t spots, int64_t aired, int64_t missed);

/* Getters: the control server reads these. */
/* STATE_INPUT_LOST or STATE_INPUT_INVALID while the input is so, else the channel's own state. */
int status_state(const channel_status *s);
int status_input_up(const channel_status *s);  // 1 while MPEG-TS arrives, else 0
int64_t status_input_losses(channel_status *s);
double status_input_lost_seconds(channel_status *s, int64_t now_us);  // the running outage included
double status_session_uptime(const channel_status *s, int64_t now_us);  // seconds; 0 without session
/* Bit/s of the last finished window; 0 when none ended within STATUS_RATE_STALE_US of now_us. */
int64_t status_bitrate(const rate_meter *m, int64_t now_us);
/* Copies the last event into *out: 0; -ENODATA when there was none yet; -EINVAL for a null argument. */
int status_last_event(channel_status *s, asrun_record *out);
/* The schedule's state (traffic_schedule_state) and whether the verification file cannot be written. */
void status_set_traffic(channel_status *s, int schedule_state, int verification_failing);

/* The SRT link of a side (STATUS_SRT_INPUT or _OUTPUT) and the RTP input's counts, from their threads. */
void status_set_srt(channel_status *s, int side, const srt_link_stats *st);
void status_set_rtp(channel_status *s, const rtp_stats *st);
/* Copies them out: 1 when the side (the RTP input) is in use, else 0 and *out untouched. */
int status_srt(channel_status *s, int side, srt_link_stats *out);
int status_rtp(channel_status *s, rtp_stats *out);

/* The sources as the merge sees them (its thread), and a copy of them: 1 with two sources, else 0. */
void status_set_inputs(channel_status *s, int active, const merge_health *inputs, const merge_counts *counts);
int status_inputs(channel_status *s, int *active, merge_health *inputs, merge_counts *counts);

/* Copies the schedule in force into buf (size bytes; "" when none). */
void status_schedule(channel_status *s, char *buf, size_t size);

/* The schedule's spots as they stand (traffic_plan's n rows; copied). Out of memory the last ones stay. */
void status_set_plan(channel_status *s, const traffic_spot_plan *rows, int n);

/* A copy of the spots as they stand into *out. */
void status_plan(channel_status *s, std::vector<traffic_spot_plan> *out);

/* The integrated loudness (LUFS) of the filler that airs, once measured. */
void status_set_filler_loudness(channel_status *s, double lufs);

#endif
