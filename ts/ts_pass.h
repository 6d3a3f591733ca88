/*
 * The passthrough queue between the input filter and the output stage: TS
 * packets that no relayed stream carries (another programme, the SI tables,
 * conditional access, scrambled or unreadable PIDs) pass the demuxer and the
 * muxer by and leave byte for byte, each PID keeping its continuity
 * counters.
 *
 * A packet must leave as much later than it came as the relayed streams
 * leave later than they came, or the PCRs of the programmes passed through
 * would no longer match their place. Input and output have a clock each,
 * their PCRs (ts_clock): the input's is that of the programme relayed, the
 * output's the muxer's, both on the same time line since the muxer copies
 * the timestamps. The delay is found from PES headers of one relayed PID
 * (the lead PID): a PES that starts at time t_in on the input with dts d,
 * and leaves at t_out with the same d, leads its dts by d - t_in coming in
 * and d - t_out going out. The muxer writes a PES once it has read all of
 * it, so the output can reach t_out = t_in + delay only after the input was
 * read to about t_in + delay - (lead in - lead out); for a packet never to
 * be due before it was read, the delay is the largest lead seen coming in
 * less the smallest going out (with a margin), taken over the first
 * TS_PASS_LEAD_SAMPLES of each and then kept: a changing delay would move
 * the programmes passed through. A packet is due at its input time plus
 * the delay; the output stage sends it in the first free place (a null
 * packet of the muxer's) at or after that time.
 *
 * The queue is bounded: a packet pushed into a full queue drops the oldest
 * (counted), and so does one that came more than the longest wait
 * (ts_pass_set_max_wait) plus the delay after the oldest: the output has
 * no room for them. Packets of a protected PID (ts_pass_protect: SCTE-35
 * passing through) are never dropped for room while another PID's are
 * queued: the oldest of those goes instead. Drops count as such only while
 * the output places packets (it has a clock and the delay is known): before,
 * what waits came before the output's start, which a live output leaves
 * behind like the programme's pictures before its first key frame (counted
 * apart, as trimmed). A packet still waiting TS_PASS_MAX_LATE after it was
 * due shows that the output moved on a new time line (its timestamps
 * jumped): the delay is set anew for it (counted as a resync).
 * Memory is allocated once, at create; nothing is allocated per packet.
 */
#ifndef KESTROW_TS_TS_PASS_H
#define KESTROW_TS_TS_PASS_H

#include <cstdint>

#define TS_TIME_NONE        INT64_MIN
#define TS_CLOCK_HZ         27000000
#define TS_PASS_LEAD_SAMPLES 64
#define TS_PASS_MAX_LATE    ((int64_t)TS_CLOCK_HZ)        // 1 s
#define TS_PASS_MARGIN      ((int64_t)TS_CLOCK_HZ / 50)   // 20 ms added to the delay
#define TS_PASS_MAX_PIDS    16                            // PIDs whose leads the input side keeps
#define TS_PASS_TABLE_CAPACITY 2048                       // packets the table ring holds at most

/*
 * A transport stream's clock, from the PCRs of one PID: 27 MHz ticks on a
 * line that neither wraps nor jumps (a PCR more than a second away from
 * where the line would be continues the line instead), interpolated
 * between packets by the rate of the last two PCRs (when that lies between
 * 100 kbit/s and 1 Gbit/s; else the last PCR's time holds).
 */
struct ts_clock {
    int64_t t;        // time at packet index at; TS_TIME_NONE before the first PCR
    int64_t at;
    int64_t prev_t;   // the PCR before; TS_TIME_NONE: none
    int64_t prev_at;
    int64_t raw;      // the last PCR as carried
    int64_t span;     // t - prev_t when that gives a rate, else 0 (the last PCR's time holds)
    int64_t packets;  // at - prev_at with it
    int64_t step_q;   // span / packets and span % packets: the ticks of one packet
    int64_t step_r;
    int64_t last_k;   // the last time asked: at + last_k is last_q ticks after t, last_r the remainder
    int64_t last_q;
    int64_t last_r;
};

/* A clock without PCRs. */
void ts_clock_reset(ts_clock *c);
/* Takes the PCR pcr (27 MHz, as carried) of the packet at index. */
void ts_clock_take(ts_clock *c, int64_t index, int64_t pcr);
/*
 * The time of the packet at index; TS_TIME_NONE before the first PCR. Every
 * packet asks it: the rate between the last two PCRs is judged when a PCR
 * comes, and the packet after the one asked last is one step on from it
 * (t + k * span / packets, without a division).
 */
static inline int64_t ts_clock_at(ts_clock *c, int64_t index)
{
    if (c->t == TS_TIME_NONE || c->packets == 0)
        return c->t;
    int64_t k = index - c->at;
    if (k == c->last_k + 1) {
        c->last_q += c->step_q;
        c->last_r += c->step_r;
        if (c->last_r >= c->packets) {
            c->last_r -= c->packets;
            c->last_q++;
        }
        c->last_k = k;
    } else if (k != c->last_k) {
        if (k < 0)
            return c->t + k * c->span / c->packets;
        c->last_q = k * c->span / c->packets;
        c->last_r = k * c->span % c->packets;
        c->last_k = k;
    }
    return c->t + c->last_q;
}

struct ts_pass_stats {
    int64_t packets_in;     // pushed
    int64_t packets_out;    // taken by the output
    int64_t dropped;        // pushed out of a full queue, or waiting too long, while the output places packets
    int64_t trimmed;        // the same before it could place any (after ts_pass_keep): before its start
    int64_t resyncs;        // the delay set anew for a packet TS_PASS_MAX_LATE late
};

struct ts_pass;

/* Creates a queue of capacity packets (at least 64) into *out. 0; -EINVAL without
 * out; -ERANGE for a capacity outside 64..1048576; -ENOMEM without memory. */
int ts_pass_create(ts_pass **out, int capacity);

/* Frees *p; *p becomes null. 0, or -EINVAL without a queue. */
int ts_pass_destroy(ts_pass **p);

/*
 * Appends a copy of pkt, which came at input time t_in (27 MHz on the input
 * clock's line; TS_TIME_NONE before the input clock has a PCR: the packet
 * then takes the time of the first packet pushed with one). A full queue
 * drops its oldest packet first, as does one that waited too long.
 */
void ts_pass_push(ts_pass *p, const uint8_t *pkt, int64_t t_in);

/* Leaves out the queued packets whose PID has keep[pid] == 0 (keep: 8192
 * entries); the others keep their order. Drops count from the first call
 * on: before it the queue holds what the demuxer's probe read, which a live
 * input leaves behind anyway. */
void ts_pass_keep(ts_pass *p, const uint8_t *keep);

/* Whether a packet of pid with payload was dropped since the last call for pid (which clears it): the
 * continuity counters of what leaves are to go on across the gap. False without p. */
bool ts_pass_take_gap(ts_pass *p, int pid);

/* pid's packets are not dropped for room while packets of unprotected PIDs are queued. Without p, or
 * for a PID outside 0..8191: nothing. */
void ts_pass_protect(ts_pass *p, int pid);

/* How long (27 MHz, beyond the delay) the oldest packet may wait while later ones come; 0: as long as
 * the queue holds them (a file, whose probe the queue holds). */
void ts_pass_set_max_wait(ts_pass *p, int64_t max_wait);

/*
 * The output stage's tables (PAT, PMTs, SDT): packets of pid wait in a ring
 * of their own (of the queue's capacity, TS_PASS_TABLE_CAPACITY at most; a
 * full one drops its oldest, counted), due like the others but never behind
 * a packet that finds no place. Those queued already move over, each in its
 * order of arrival among the ring's packets of other PIDs. on 0: those
 * pushed from now on go into the queue again.
 * Without p, or for a PID outside 0..8191: nothing.
 */
void ts_pass_set_table_pid(ts_pass *p, int pid, int on);
/* The oldest packet of the table ring when it is due at t_out (or came without a time), else null. */
const uint8_t *ts_pass_table_due(ts_pass *p, int64_t t_out);
/* The oldest of the table ring whatever its time; null when it is empty. */
const uint8_t *ts_pass_table_front(const ts_pass *p);
/* Removes the oldest packet of the table ring (counted as taken by the output). */
void ts_pass_table_pop(ts_pass *p);

/* Empties the queue and the table ring (what they held is not counted as dropped). */
void ts_pass_clear(ts_pass *p);

/* The PID whose PES headers give the delay; -1: none (the delay is then 0). */
void ts_pass_set_lead_pid(ts_pass *p, int pid);
int ts_pass_lead_pid(const ts_pass *p);

/* Lead (dts - input time, 27 MHz) of a PES of pid starting on the input. */
void ts_pass_lead_in(ts_pass *p, int pid, int64_t lead);
/* Lead (dts - output time) of a PES of the lead PID leaving. */
void ts_pass_lead_out(ts_pass *p, int64_t lead);

/* The delay (27 MHz) so far; TS_TIME_NONE while a lead PID is set and a
 * side has no sample yet. */
int64_t ts_pass_delay(const ts_pass *p);

/*
 * The oldest packet when it is due at output time t_out (27 MHz on the
 * output clock's line; TS_TIME_NONE: the output has no clock yet, nothing
 * is due), else null. Sets the delay anew when that packet is more than
 * TS_PASS_MAX_LATE late, and when no delay could be found while the queue
 * filled to half its capacity. The packet stays queued until ts_pass_pop.
 */
const uint8_t *ts_pass_due(ts_pass *p, int64_t t_out);

/* Input time of the oldest packet; TS_TIME_NONE when empty or not known. */
int64_t ts_pass_front_time(const ts_pass *p);

/* The oldest packet whatever its time, or null when empty. */
const uint8_t *ts_pass_front(const ts_pass *p);

/* Removes the oldest packet (counted as taken by the output). */
void ts_pass_pop(ts_pass *p);

/* Packets queued (the table ring's aside). */
int ts_pass_count(const ts_pass *p);

/* Copies the counters. 0; -EINVAL without p or stats. */
int ts_pass_get_stats(const ts_pass *p, ts_pass_stats *stats);

#endif
