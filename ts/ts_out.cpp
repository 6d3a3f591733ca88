/*
 * MPEG-TS output stage: rewrites the muxer's transport stream on its way to
 * the destination (ISO/IEC 13818-1 packets and PSI sections, SCTE 35 cues).
 *
 * Every 188-byte packet the muxer writes is one place in the output. Packets
 * of untouched PIDs keep their place and bytes. Packets of rewritten PIDs
 * (cue, EPG, PMT) are taken apart: their PES units or sections are gathered,
 * and the sections that come out are packetized into a FIFO of waiting
 * packets. A free place (one of a taken-apart packet, or a null packet of the
 * muxer) sends the oldest waiting packet, or a null packet when none waits.
 * A waiting packet that found no place within TS_OUT_HOLD_PACKETS places is
 * sent anyway, after the current one.
 *
 * With a PCR PID of the programme's own, each PCR of the muxer's PCR PID is
 * copied onto it, in an adaptation-field-only packet whose PCR is the time
 * of its own place in the output. At a constant rate the muxer pads with
 * null packets and its PCR is the time of its packet's place, so the copy
 * takes a free place and carries the PCR moved by the packets between at
 * the mux rate; the packet count stays. The muxer pads just before it
 * starts a PES, where it also writes most PCRs, so a null packet is held
 * back for one place and the copy of a PCR in the next packet takes it.
 * Otherwise the copy waits for the next free place, PCR_WAIT_US at most, and
 * is then sent in addition (a large picture fills the output for longer), so
 * with the muxer's PCR period of 20 ms the copies stay within 30 ms of each
 * other, under DVB's 40 ms; the next free place that would carry a null
 * packet is then left out, so that the count, and the rate, stay. At a variable rate there are neither null packets
 * nor a rate: the copy goes just before the muxer's packet with the same
 * PCR, so the PCR PID's clock runs 188 bytes ahead of the muxer's, the same
 * for every PCR. The muxer's PCRs stay where they are: a PCR on a PID other
 * than PCR_PID is allowed, and its bytes stay untouched.
 *
 * With a passthrough queue, a free place goes to the oldest of its packets
 * when that one is due at the place's time on the muxer's clock (after the
 * PCR copy, the tables and the waiting sections). Packets of the input's
 * PAT, relayed PMT and (when it changes) SDT are taken apart on the way out
 * of the queue and their sections rewritten like the muxer's; the muxer's
 * own PAT, PMT and, once the input has one, SDT give their places away.
 *
 * At a constant rate the PAT, the PMTs it lists and the SDT actual are the
 * stage's tables (tables[]): each section that comes (from the muxer, or
 * from the queue, the other programmes' PMTs included) replaces the version
 * kept, and a table goes out whole, a packet per free place, whenever its
 * period has passed on the muxer's clock or a new version came; one late by
 * its wait is sent in addition after the current packet. Before the
 * muxer's first PCR a new version goes out at once and waits for the clock
 * to be repeated.
 *
 * Every packet sent passes the checks (ts_check_state), which keep their
 * own clock from the PCRs sent.
 */
#include "ts/ts_out.h"
#include "ts/ts_pass.h"
#include "ts/ts_psi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#define TS_PMT_MAX         1024         // longest PMT section allowed
#define TS_PES_MAX         (6 + 65535)  // 16-bit PES_packet_length
#define TS_OUT_MAX_PMTS    8
#define TS_OUT_QUEUE_SIZE  512
#define PCR_WAIT_US        10000                  // a PCR copy waits this long for a free place
#define PCR_HZ             27000000
#define SDT_PID            0x11
#define NAME_MAX_LEN       255
#define MS                 (PCR_HZ / 1000)        // 27 MHz ticks
#define TS_OUT_MAX_PROGRAMS 64                    // PMTs of the PAT that the stage sends itself
#define TABLE_SECTIONS     4                      // sections of one PAT or SDT kept
#define TABLE_SECTION_MAX  1024                   // PAT, PMT and SDT sections are no longer
#define TABLE_PAT          0                      // slots of tables[]: then the PMTs
#define TABLE_SDT          1
#define TABLE_PMT          2
#define PSI_PERIOD         (TS_OUT_PSI_PERIOD_MS * MS)
#define PSI_LATE           ((TS_OUT_PSI_PERIOD_MS + TS_OUT_PSI_WAIT_MS) * MS)
#define SDT_PERIOD         (TS_OUT_SDT_PERIOD_MS * MS)
#define SDT_LATE           ((TS_OUT_SDT_PERIOD_MS + TS_OUT_SDT_WAIT_MS) * MS)
#define CHECK_PSI_MAX      (500 * MS)  // TR 101 290: PAT, PMT at most 0.5 s apart
#define CHECK_SDT_MAX      (2000 * MS) // SDT actual at most 2 s apart
#define CHECK_PCR_MAX      (40 * MS)
#define CHECK_PCR_JUMP     (100 * MS)

enum ts_role : uint8_t {
    ROLE_PASS = 0,  // bytes untouched
    ROLE_CUE,       // PES in, SCTE 35 sections out
    ROLE_EPG,       // PES in, EIT sections out
    ROLE_PMT,       // PMT sections in, rewritten PMT sections out
};

/* Gathers one PES unit of a cue or EPG PID. */
struct ts_pes_buf {
    int pid;
    int active;      // 1 after a payload_unit_start, until the unit is done
    int len;         // bytes held; the rest of an over-long unit is dropped
    uint8_t data[TS_PES_MAX];
};

struct ts_waiting {
    int64_t due;     // input packet count by which it is sent in any case
    uint8_t pkt[TS_PACKET_SIZE];
};

/* A table the stage sends on its own schedule: the current version of its sections. */
struct ts_table {
    int pid;                 // -1: a free slot
    int program;             // a PMT's program_number
    int count;               // sections by section_number, up to last_section_number; len 0: not had
    int len[TABLE_SECTIONS];
    uint8_t sec[TABLE_SECTIONS][TABLE_SECTION_MAX];
    int fresh;               // a version not sent yet: due at the next place, clock or not
    int64_t due;             // output time of the next repetition; TS_TIME_NONE: as soon as there is a clock
    int64_t late;            // output time by which it is sent in addition; TS_TIME_NONE: not set
};

/* The output's own TR 101 290 checks, on the packets as sent. */
struct ts_check_state {
    ts_clock clock;          // PCRs of clock_pid among the packets sent, by their index
    int clock_pid;           // -1: the first PID whose PCR is sent
    int64_t pat_at;          // output time of the last PAT sent; TS_TIME_NONE: none yet
    int pat_late;            // its gap was counted already
    int64_t sdt_at;
    int sdt_late;
    int pmt_count;           // the PMT PIDs of the last PAT sent
    struct {
        int pid;
        int64_t at;          // TS_TIME_NONE: the timer starts at the next time known
        int late;
    } pmt[TS_OUT_MAX_PROGRAMS];
    uint8_t cc[TS_PID_COUNT];
    uint8_t cc_state[TS_PID_COUNT];  // 0: no packet yet; 1: seen; 2: the last one came twice
    int64_t pcr[TS_PID_COUNT];       // the last PCR sent on each PID; -1: none
    int gaps_dirty;                  // a table timer changed since the gaps were last looked at
    int64_t gaps_next;               // the time after which a gap can pass its limit, as then found
};

struct ts_out {
    int passing;              // the packet being sent passes through from the input
    int passing_break;        // and breaks its PID's counters as it came: the input's fault, not the output's
    AVIOContext *pb;           // the muxer writes here
    AVIOContext *dest;         // the real destination, direct: it gets out_buf whole
    uint8_t *out_buf;          // the packets sent, gathered as dest's own buffer would gather them
    int out_size;              // dest's buffer size: what it writes at once
    int out_len;
    int dest_is_writer;        // dest wraps the caller's write function; not ours to close
    int error;                 // first destination error; sticky
    int64_t place;             // input packets seen
    uint8_t role[TS_PID_COUNT];
    uint8_t unit[TS_PID_COUNT];  // index into pes[] or pmt[] for rewritten PIDs
    uint8_t cc[TS_PID_COUNT];    // last continuity counter sent on rewritten PIDs
    int epg_pid;
    int pcr_pid;               // the programme's PCR PID; 0: the muxer's is kept
    int64_t mux_rate;          // bit/s; 0: variable
    int mux_pcr_pid;           // PCR_PID of the muxer's PMT, while it is not pcr_pid; -1: none
    int64_t pcr_wait;          // places a PCR copy waits for a free one (PCR_WAIT_US)
    int64_t pcr_copy;          // 27 MHz; the muxer's last PCR, while its copy waits; -1: none
    int64_t pcr_from;          // place of the muxer's packet that carried it
    int64_t pcr_out;           // its index among the packets sent
    int null_held;             // held holds the muxer's last null packet, its place not yet filled
    int64_t nulls_owed;        // null places to leave out for PCR copies sent in addition
    uint8_t held[TS_PACKET_SIZE];
    int64_t rate;              // bit/s; 0: the output's timing is not watched
    int64_t max_lead_us;
    int64_t clock_start;       // wall clock (us) from which clock_bits were sent; 0: not yet
    int64_t clock_bits;
    uint8_t partial[TS_PACKET_SIZE];
    int partial_len;
    ts_psi_buf pat;
    uint8_t pat_last[TS_PSI_MAX];
    int pat_last_len;
    ts_psi_buf pmt[TS_OUT_MAX_PMTS];
    ts_pes_buf pes[TS_OUT_MAX_CUE_PIDS + 1];
    int pes_count;
    ts_waiting queue[TS_OUT_QUEUE_SIZE];
    int queue_head;
    int queue_count;
    uint8_t scratch[TS_PMT_MAX];
    ts_out_stats stats;
    /* Passthrough (ts_out_set_pass): packets of the input that the muxer does not carry. */
    ts_pass *pass;             // null: none
    ts_out_pass_config pc;
    char service_name[NAME_MAX_LEN + 1];
    char service_provider[NAME_MAX_LEN + 1];
    ts_clock out_clock;        // the muxer's PCRs
    int64_t now;               // output time at place (out_clock), taken once a packet
    int input_sdt;             // the input's SDT goes out: the muxer's gives way
    int mux_ts_id;             // the muxer's PAT and PMT; -1 until seen
    int mux_program;
    int mux_pmt_pid;
    int mux_pmt_pcr;
    ts_psi_buf in_pat;         // the input's PAT, chosen PMT and SDT, taken apart
    ts_psi_buf in_pmt;
    ts_psi_buf in_sdt;
    uint8_t in_section[TS_PSI_MAX];
    uint8_t pass_in_cc[TS_PID_COUNT];   // passthrough: the last counter read of each PID
    uint8_t pass_shift[TS_PID_COUNT];   // added to its counters (0 until a rejoin)
    uint8_t pass_flags[TS_PID_COUNT];   // PASS_SEEN, PASS_REJOIN
    uint32_t in_cc_errors[TS_PID_COUNT];  // continuity breaks the input brought on a passed PID, not yet taken
    /* The tables the stage sends itself (at a constant rate): PAT, SDT actual, the PAT's PMTs. */
    int own_tables;
    ts_table tables[TABLE_PMT + TS_OUT_MAX_PROGRAMS];
    int table_end;             // slots in use lie below
    int tab_cur;               // the table being sent, a packet per place; -1: none
    int tab_sec;               // its section and the bytes of it sent
    int tab_pos;
    int tables_dirty;          // a table's version or timers changed since tables_send_late last looked
    int64_t tables_late_min;   // the earliest late time of the tables, as tables_send_late last found them
    ts_psi_buf mux_sdt;        // the muxer's SDT, while it is the one sent
    uint8_t in_other[TS_PID_COUNT];     // passthrough: 1 + slot of another programme's PMT PID; 0: none
    ts_psi_buf in_pmts[TS_OUT_MAX_PROGRAMS];
    ts_check_state check;
};

#define PASS_SEEN   1  // a packet of the PID was sent: pass_in_cc holds its counter
#define PASS_REJOIN 2  // the next break in its counters is the input's, not a loss: the output's go on

static const uint8_t null_packet_header[4] = {TS_SYNC_BYTE, 0x1F, 0xFF, 0x10};

static const uint8_t *pass_next(ts_out *s);
static void pass_send(ts_out *s, const uint8_t *p);
static int64_t out_now(const ts_out *s);
static int table_next(const ts_out *s, int64_t now);
static void table_packet(ts_out *s, int i, int added);

/* ------------------------------------------------------------------------ */
/* Self-check: what a receiver would find in the packets sent. */

static const char *const check_names[TS_OUT_CHECK_COUNT] = {
    "pat_interval", "pmt_interval", "sdt_interval", "pcr_interval", "pcr_discontinuity", "continuity",
};

const char *ts_out_check_name(int check)
{
    return check >= 0 && check < TS_OUT_CHECK_COUNT ? check_names[check] : nullptr;
}

static void check_reset(ts_check_state *c)
{
    ts_clock_reset(&c->clock);
    c->clock_pid = -1;
    c->pat_at = c->sdt_at = TS_TIME_NONE;
    for (int64_t &pcr : c->pcr)
        pcr = -1;
    c->gaps_dirty = 1;
}

/* A table that has a limit came at now: the gap since the one before, the longest gap (us) kept. */
static void check_arrival(int64_t now, int64_t *at, int *late, int64_t *longest_us)
{
    if (now == TS_TIME_NONE)
        return;
    if (*at != TS_TIME_NONE && longest_us && (now - *at) / 27 > *longest_us)
        *longest_us = (now - *at) / 27;
    *at = now;
    *late = 0;
}

/* Counts a table whose gap passed its limit at now, once a gap. */
static void check_gap(ts_out *s, int64_t now, int64_t *at, int *late, int64_t limit, int check)
{
    if (*at == TS_TIME_NONE) {
        *at = now;  // a PMT the PAT lists, before the clock came: its timer starts here
    } else if (!*late && now - *at > limit) {
        *late = 1;
        s->stats.checks[check]++;
    }
}

/* The PMT PIDs of a PAT section that starts at sec with n bytes of the packet left. */
static void check_pat(ts_out *s, const uint8_t *sec, int n, int64_t now)
{
    ts_check_state *c = &s->check;
    if (n < 12 || ts_psi_section_total(sec) > n)
        return;  // spans packets: the PIDs stay those of the PAT before
    int len = ts_psi_section_total(sec), count = 0;
    decltype(c->pmt) pmts;
    for (int o = 8; o + 4 <= len - 4 && count < TS_OUT_MAX_PROGRAMS; o += 4) {
        if (((sec[o] << 8) | sec[o + 1]) == 0)
            continue;
        int pid = ((sec[o + 2] & 0x1F) << 8) | sec[o + 3];
        pmts[count] = {pid, now, 0};
        for (int k = 0; k < c->pmt_count; k++)
            if (c->pmt[k].pid == pid)
                pmts[count] = c->pmt[k];  // listed before: its timer goes on
        count++;
    }
    if (sec[6] != 0 || sec[7] != 0) {
        // One section of several: its PIDs join the others.
        for (int k = 0; k < count && c->pmt_count < TS_OUT_MAX_PROGRAMS; k++) {
            int known = 0;
            for (int j = 0; j < c->pmt_count; j++)
                known |= c->pmt[j].pid == pmts[k].pid;
            if (!known)
                c->pmt[c->pmt_count++] = pmts[k];
        }
        return;
    }
    memcpy(c->pmt, pmts, sizeof(pmts[0]) * count);
    c->pmt_count = count;
}

/* Checks packet p, sent as the output's packet number index. */
static void check_packet(ts_out *s, const uint8_t *p, int64_t index)
{
    ts_check_state *c = &s->check;
    int pid = ts_pid(p), afc = (p[3] >> 4) & 3;
    int discontinuity = (afc & 2) && p[4] > 0 && (p[5] & 0x80);
    if (pid != TS_NULL_PID && !(p[1] & 0x80)) {
        /* The PCRs checked are the output's own: what passes through keeps the input's, gaps and all. */
        int64_t pcr = s->passing ? -1 : ts_packet_pcr(p);
        if (pcr >= 0) {
            if (c->clock_pid < 0)
                c->clock_pid = pid;
            if (pid == c->clock_pid)
                ts_clock_take(&c->clock, index, pcr);
            int64_t step = c->pcr[pid] >= 0 ? ts_pcr_diff(pcr, c->pcr[pid]) : 0;
            if (!discontinuity && (step < 0 || step > CHECK_PCR_JUMP))
                s->stats.checks[TS_OUT_CHECK_PCR_DISCONTINUITY]++;
            else if (!discontinuity && step > CHECK_PCR_MAX)
                s->stats.checks[TS_OUT_CHECK_PCR_INTERVAL]++;
            c->pcr[pid] = pcr;
        }
        if (afc & 1) {
            // Counters go up by one with each payload; one packet may come twice.
            int cc = p[3] & 0x0F, state = c->cc_state[pid];
            int error = state && !discontinuity &&
                        (cc == c->cc[pid] ? state == 2 : cc != ((c->cc[pid] + 1) & 0x0F));
            s->stats.checks[TS_OUT_CHECK_CONTINUITY] += error && !s->passing_break;
            c->cc_state[pid] = (uint8_t)(state && cc == c->cc[pid] ? 2 : 1);
            c->cc[pid] = (uint8_t)cc;
        }
    }
    int64_t now = ts_clock_at(&c->clock, index);
    int off = ts_payload_offset(p);
    if (pid != TS_NULL_PID && (p[1] & 0x40) && off >= 0 && off + 1 + p[off] < TS_PACKET_SIZE) {
        const uint8_t *sec = p + off + 1 + p[off];
        int n = (int)(p + TS_PACKET_SIZE - sec);
        c->gaps_dirty = 1;
        if (pid == 0 && sec[0] == 0x00) {
            check_arrival(now, &c->pat_at, &c->pat_late, &s->stats.pat_interval_max_us);
            check_pat(s, sec, n, now);
        } else if (pid == SDT_PID && sec[0] == 0x42) {
            check_arrival(now, &c->sdt_at, &c->sdt_late, nullptr);
        } else if (sec[0] == 0x02) {
            for (int k = 0; k < c->pmt_count; k++)
                if (c->pmt[k].pid == pid)
                    check_arrival(now, &c->pmt[k].at, &c->pmt[k].late, &s->stats.pmt_interval_max_us);
        }
    }
    /* Every packet sent: while no timer changed, nothing passes its limit before gaps_next. */
    if (now == TS_TIME_NONE || (!c->gaps_dirty && now <= c->gaps_next))
        return;
    if (c->pat_at != TS_TIME_NONE)
        check_gap(s, now, &c->pat_at, &c->pat_late, CHECK_PSI_MAX, TS_OUT_CHECK_PAT_INTERVAL);
    if (c->sdt_at != TS_TIME_NONE)
        check_gap(s, now, &c->sdt_at, &c->sdt_late, CHECK_SDT_MAX, TS_OUT_CHECK_SDT_INTERVAL);
    for (int k = 0; k < c->pmt_count; k++)
        check_gap(s, now, &c->pmt[k].at, &c->pmt[k].late, CHECK_PSI_MAX, TS_OUT_CHECK_PMT_INTERVAL);
    int64_t next = INT64_MAX;
    if (c->pat_at != TS_TIME_NONE && !c->pat_late)
        next = std::min(next, c->pat_at + CHECK_PSI_MAX);
    if (c->sdt_at != TS_TIME_NONE && !c->sdt_late)
        next = std::min(next, c->sdt_at + CHECK_SDT_MAX);
    for (int k = 0; k < c->pmt_count; k++)
        if (!c->pmt[k].late)
            next = std::min(next, c->pmt[k].at + CHECK_PSI_MAX);  // every timer started above
    c->gaps_next = next;
    c->gaps_dirty = 0;
}

/* ------------------------------------------------------------------------ */
/* Output: destination writes, waiting packets and places. */

/*
 * How far (us) the packets sent so far run ahead of the wall clock at the
 * output's rate. Like the destination's sender, the clock starts again
 * whenever the output ran dry, so a late output never counts as ahead.
 */
int64_t ts_out_bits_to_us(int64_t bits, int64_t rate)
{
    return bits / rate * 1000000 + bits % rate * 1000000 / rate;
}

static int64_t output_lead(ts_out *s)
{
    int64_t now = av_gettime_relative();
    int64_t lead = s->clock_start ? s->clock_start + ts_out_bits_to_us(s->clock_bits, s->rate) - now : -1;
    if (lead < 0) {
        s->clock_start = now;
        s->clock_bits = 0;
        lead = 0;
    }
    return lead;
}

/* Hands what out_buf holds to the destination; a failure sticks in s->error. */
static void out_flush(ts_out *s)
{
    if (s->out_len > 0)
        avio_write(s->dest, s->out_buf, s->out_len);
    s->out_len = 0;
    if (s->dest->error < 0 && s->error >= 0)
        s->error = s->dest->error;
}

static void send_packet(ts_out *s, const uint8_t *pkt)
{
    if (s->error < 0)
        return;
    if (s->rate > 0) {
        output_lead(s);
        s->clock_bits += TS_PACKET_SIZE * 8;
    }
    /* Into out_buf, handed over whenever it is full, as the destination's buffer would be. */
    if (s->out_size - s->out_len > TS_PACKET_SIZE) {
        memcpy(s->out_buf + s->out_len, pkt, TS_PACKET_SIZE);  // room for it and more: most packets
        s->out_len += TS_PACKET_SIZE;
    } else {
        for (int done = 0; done < TS_PACKET_SIZE;) {
            int n = std::min(TS_PACKET_SIZE - done, s->out_size - s->out_len);
            memcpy(s->out_buf + s->out_len, pkt + done, n);
            s->out_len += n;
            done += n;
            if (s->out_len == s->out_size)
                out_flush(s);
        }
        if (s->error < 0)
            return;
    }
    check_packet(s, pkt, s->stats.packets_out);
    s->stats.packets_out++;
    s->stats.bytes_out += TS_PACKET_SIZE;
}

/* Sends the oldest waiting packet outside any place of the muxer's. */
static void send_oldest_added(ts_out *s)
{
    send_packet(s, s->queue[s->queue_head].pkt);
    s->queue_head = (s->queue_head + 1) % TS_OUT_QUEUE_SIZE;
    s->queue_count--;
    s->stats.packets_added++;
}

/* Whether the oldest waiting packet goes on a section already begun on pid. */
static int queue_continues(const ts_out *s, int pid)
{
    const uint8_t *q = s->queue[s->queue_head].pkt;
    return s->queue_count > 0 && ts_pid(q) == pid && !(q[1] & 0x40);
}

static uint8_t *queue_slot(ts_out *s)
{
    if (s->queue_count == TS_OUT_QUEUE_SIZE)
        send_oldest_added(s);
    ts_waiting *w = &s->queue[(s->queue_head + s->queue_count) % TS_OUT_QUEUE_SIZE];
    s->queue_count++;
    w->due = s->place + TS_OUT_HOLD_PACKETS;
    return w->pkt;
}

/*
 * Sends the waiting PCR copy on the programme's PCR PID as the next packet
 * out: the muxer's PCR moved by the packets sent between at the mux rate.
 * added: it takes no place of the muxer's. The packet has no payload, so
 * its continuity counter stays 0.
 */
static void send_pcr_copy(ts_out *s, int added)
{
    int64_t bits = (s->stats.packets_out - s->pcr_out) * TS_PACKET_SIZE * 8;
    int64_t shift = s->mux_rate ? av_rescale(bits, PCR_HZ, s->mux_rate) : 0;
    int64_t pcr = ts_pcr_wrap(s->pcr_copy + shift);
    int64_t base = pcr / 300;
    int ext = (int)(pcr % 300);
    uint8_t pkt[TS_PACKET_SIZE];
    const uint8_t head[] = {TS_SYNC_BYTE, (uint8_t)(s->pcr_pid >> 8), (uint8_t)s->pcr_pid, 0x20,
                            TS_PACKET_SIZE - 5, 0x10, (uint8_t)(base >> 25), (uint8_t)(base >> 17),
                            (uint8_t)(base >> 9), (uint8_t)(base >> 1),
                            (uint8_t)(((base & 1) << 7) | 0x7E | (ext >> 8)), (uint8_t)ext};
    memcpy(pkt, head, sizeof(head));
    memset(pkt + sizeof(head), 0xFF, TS_PACKET_SIZE - sizeof(head));
    send_packet(s, pkt);
    s->pcr_copy = -1;
    s->stats.pcrs_out++;
    s->stats.packets_added += added;
    s->nulls_owed += added && s->mux_rate;
}

/*
 * A free place: the waiting PCR copy, else the oldest waiting packet, else
 * a packet of the passthrough queue that is due, else null (the muxer's own
 * when given); no null for a place owed to a PCR copy sent in addition, nor
 * while the output runs too far ahead of the wall clock.
 */
static void fill_place(ts_out *s, const uint8_t *null_pkt)
{
    if (s->pcr_copy >= 0) {
        send_pcr_copy(s, 0);
        return;
    }
    const uint8_t *passed = pass_next(s);
    int table = s->own_tables ? table_next(s, out_now(s)) : -1;
    if (table >= 0 && s->tab_cur != table && queue_continues(s, s->tables[table].pid))
        table = -1;  // a section waiting on its PID (an SDT other, say) is not cut
    if (table >= 0) {
        table_packet(s, table, 0);
        return;
    }
    if (s->queue_count > 0) {
        send_packet(s, s->queue[s->queue_head].pkt);
        s->queue_head = (s->queue_head + 1) % TS_OUT_QUEUE_SIZE;
        s->queue_count--;
        return;
    }
    if (passed) {
        pass_send(s, passed);
        return;
    }
    if (s->nulls_owed > 0) {
        s->nulls_owed--;
        s->stats.nulls_repaid++;
        return;
    }
    if (s->rate > 0 && s->max_lead_us > 0 && output_lead(s) > s->max_lead_us) {
        s->stats.nulls_dropped++;
        return;
    }
    if (null_pkt) {
        send_packet(s, null_pkt);
        return;
    }
    uint8_t pkt[TS_PACKET_SIZE];
    memcpy(pkt, null_packet_header, sizeof(null_packet_header));
    memset(pkt + 4, 0xFF, TS_PACKET_SIZE - 4);
    send_packet(s, pkt);
}

/* Packetizes one section onto pid: first packet with payload_unit_start and pointer_field 0. */
static void queue_section(ts_out *s, int pid, const uint8_t *sec, int len)
{
    int pos = 0;
    for (int first = 1; pos < len; first = 0) {
        uint8_t *pkt = queue_slot(s);
        s->cc[pid] = (s->cc[pid] + 1) & 0x0F;
        pkt[0] = TS_SYNC_BYTE;
        pkt[1] = (uint8_t)((first ? 0x40 : 0) | (pid >> 8));
        pkt[2] = (uint8_t)pid;
        pkt[3] = (uint8_t)(0x10 | s->cc[pid]);
        int o = 4;
        if (first)
            pkt[o++] = 0;
        int n = len - pos < TS_PACKET_SIZE - o ? len - pos : TS_PACKET_SIZE - o;
        memcpy(pkt + o, sec + pos, n);
        memset(pkt + o + n, 0xFF, TS_PACKET_SIZE - o - n);
        pos += n;
    }
}

/* Queues every complete section of a PES payload; the rest is dropped. */
static void queue_sections(ts_out *s, int pid, const uint8_t *p, int len)
{
    int pos = 0;
    while (len - pos >= 3 && p[pos] != 0xFF) {
        int total = ts_psi_section_total(p + pos);
        if (total > len - pos)
            break;
        queue_section(s, pid, p + pos, total);
        s->stats.sections_out++;
        pos += total;
    }
    // Whatever is left must be stuffing; anything else is not a section.
    int rest = pos;
    while (rest < len && p[rest] == 0xFF)
        rest++;
    if (rest < len)
        s->stats.units_dropped++;
}

/* ------------------------------------------------------------------------ */
/* The stage's own tables: PAT, SDT actual and the PAT's PMTs, each sent again on a schedule of output time. */

static int64_t out_now(const ts_out *s)
{
    return s->now;
}

/* The slot of the PMT of program on pid; a free one when create (-1 when none is left). */
static int table_slot(ts_out *s, int pid, int program, int create)
{
    int free_slot = -1;
    for (int i = TABLE_PMT; i < TABLE_PMT + TS_OUT_MAX_PROGRAMS; i++) {
        if (s->tables[i].pid == pid && s->tables[i].program == program)
            return i;
        if (free_slot < 0 && s->tables[i].pid < 0)
            free_slot = i;
    }
    if (!create || free_slot < 0)
        return -1;
    ts_table *t = &s->tables[free_slot];
    t->pid = pid;
    t->program = program;
    t->count = 0;
    s->tables_dirty = 1;
    if (s->pass && (s->pass_flags[pid] & PASS_SEEN))
        s->cc[pid] = (uint8_t)((s->pass_in_cc[pid] + s->pass_shift[pid]) & 0x0F);  // went on raw until now
    s->table_end = free_slot + 1 > s->table_end ? free_slot + 1 : s->table_end;
    return free_slot;
}

/* A PMT the PAT no longer lists: its PID passes raw again, on the counters the stage left it with. */
static void table_release(ts_out *s, int i)
{
    ts_table *t = &s->tables[i];
    int pid = t->pid;
    t->pid = -1;
    t->count = 0;
    s->tables_dirty = 1;
    if (s->tab_cur == i)
        s->tab_cur = -1;
    if (s->in_other[pid] == i - TABLE_PMT + 1) {
        s->in_other[pid] = 0;
        ts_pass_set_table_pid(s->pass, pid, 0);
    }
    if (s->pass) {
        s->pass_in_cc[pid] = (uint8_t)((s->cc[pid] - s->pass_shift[pid]) & 0x0F);
        s->pass_flags[pid] = PASS_SEEN | PASS_REJOIN;
    }
}

/* Section sec (len bytes) as the current version of table slot i; a new version goes out at the next place. */
static void table_put(ts_out *s, int i, const uint8_t *sec, int len)
{
    ts_table *t = &s->tables[i];
    int n = sec[6], last = sec[7] < TABLE_SECTIONS ? sec[7] : TABLE_SECTIONS - 1;
    if (len > TABLE_SECTION_MAX || n > last)
        return;
    if (t->count == last + 1 && t->len[n] == len && !memcmp(t->sec[n], sec, len))
        return;  // a repetition
    if (n == 0 || t->count != last + 1)
        memset(t->len, 0, sizeof(t->len));  // a new version: its other sections follow
    memcpy(t->sec[n], sec, len);
    t->len[n] = len;
    t->count = last + 1;
    t->fresh = 1;
    s->tables_dirty = 1;
    int64_t now = out_now(s);
    int64_t wait = i == TABLE_SDT ? SDT_LATE - SDT_PERIOD : PSI_LATE - PSI_PERIOD;
    t->due = TS_TIME_NONE;
    t->late = now == TS_TIME_NONE ? TS_TIME_NONE : now + wait;
    if (s->tab_cur == i)
        s->tab_cur = -1;  // the version being sent is cut short: the new one starts afresh
    s->table_end = i + 1 > s->table_end ? i + 1 : s->table_end;
}

/*
 * The PAT that goes out (the input's rewritten or the muxer's): its PMTs get
 * slots, the PMTs it no longer lists lose theirs. With a passthrough the
 * other programmes' PMTs are gathered from their PIDs in the queue.
 */
static void own_pat(ts_out *s, const uint8_t *sec, int len)
{
    table_put(s, TABLE_PAT, sec, len);
    ts_table *pat = &s->tables[TABLE_PAT];
    for (int i = TABLE_PMT; i < s->table_end; i++) {
        int listed = 0;
        for (int k = 0; k < pat->count; k++)
            for (int o = 8; pat->len[k] && o + 4 <= pat->len[k] - 4 && !listed; o += 4) {
                const uint8_t *e = pat->sec[k] + o;
                listed = ((e[0] << 8) | e[1]) == s->tables[i].program && (((e[2] & 0x1F) << 8) | e[3]) == s->tables[i].pid;
            }
        if (s->tables[i].pid >= 0 && !listed)
            table_release(s, i);
    }
    for (int o = 8; o + 4 <= len - 4; o += 4) {
        int program = (sec[o] << 8) | sec[o + 1], pid = ((sec[o + 2] & 0x1F) << 8) | sec[o + 3];
        if (program == 0 || pid < 0x10 || pid == TS_NULL_PID)
            continue;
        int i = table_slot(s, pid, program, 1);
        int other = s->pass && !s->pc.spts && program != s->mux_program && pid != s->pc.in_pmt_pid;
        if (i >= 0 && other && !s->in_other[pid]) {
            s->in_other[pid] = (uint8_t)(i - TABLE_PMT + 1);
            ts_pass_set_table_pid(s->pass, pid, 1);
            s->in_pmts[i - TABLE_PMT].pid = pid;
            s->in_pmts[i - TABLE_PMT].active = 0;
        }
    }
}

/* The table whose packet the next free place carries: the one being sent, else the one due longest; -1: none. */
static int table_next(const ts_out *s, int64_t now)
{
    if (s->tab_cur >= 0)
        return s->tab_cur;
    int best = -1;
    for (int i = 0; i < s->table_end; i++) {
        const ts_table *t = &s->tables[i];
        if (t->pid < 0 || t->count == 0 || !(t->fresh || (now != TS_TIME_NONE && (t->due == TS_TIME_NONE || now >= t->due))))
            continue;
        if (best < 0 || t->due == TS_TIME_NONE ||
            (s->tables[best].due != TS_TIME_NONE && t->due < s->tables[best].due))
            best = i;
    }
    return best;
}

/* The next packet of table i (one section per packet start, pointer_field 0, 0xFF stuffing). */
static void table_packet(ts_out *s, int i, int added)
{
    ts_table *t = &s->tables[i];
    if (s->tab_cur != i) {
        int64_t now = out_now(s);
        int sdt = i == TABLE_SDT;
        s->tab_cur = i;
        s->tab_pos = 0;
        for (s->tab_sec = 0; !t->len[s->tab_sec]; s->tab_sec++) {
        }
        t->fresh = 0;
        s->tables_dirty = 1;
        t->due = now == TS_TIME_NONE ? TS_TIME_NONE : now + (sdt ? SDT_PERIOD : PSI_PERIOD);
        t->late = now == TS_TIME_NONE ? TS_TIME_NONE : now + (sdt ? SDT_LATE : PSI_LATE);
        s->stats.tables_out++;
        s->stats.tables_late += added;
    }
    const uint8_t *sec = t->sec[s->tab_sec];
    int len = t->len[s->tab_sec], first = s->tab_pos == 0;
    uint8_t pkt[TS_PACKET_SIZE];
    s->cc[t->pid] = (s->cc[t->pid] + 1) & 0x0F;
    pkt[0] = TS_SYNC_BYTE;
    pkt[1] = (uint8_t)((first ? 0x40 : 0) | (t->pid >> 8));
    pkt[2] = (uint8_t)t->pid;
    pkt[3] = (uint8_t)(0x10 | s->cc[t->pid]);
    int o = 4;
    if (first)
        pkt[o++] = 0;
    int n = len - s->tab_pos < TS_PACKET_SIZE - o ? len - s->tab_pos : TS_PACKET_SIZE - o;
    memcpy(pkt + o, sec + s->tab_pos, n);
    memset(pkt + o + n, 0xFF, TS_PACKET_SIZE - o - n);
    s->tab_pos += n;
    if (s->tab_pos == len) {
        s->tab_pos = 0;
        do
            s->tab_sec++;
        while (s->tab_sec < t->count && !t->len[s->tab_sec]);
        if (s->tab_sec >= t->count)
            s->tab_cur = -1;
    }
    send_packet(s, pkt);
    s->stats.packets_added += added;
}

/* Sends whole in addition each table that found no free place in time (all when at_end: a version not sent yet). */
static void tables_send_late(ts_out *s, int at_end)
{
    int64_t now = out_now(s);
    for (int i = 0; i < s->table_end; i++) {
        ts_table *t = &s->tables[i];
        if (t->pid < 0 || t->count == 0)
            continue;
        int sdt = i == TABLE_SDT;
        if (now != TS_TIME_NONE && !t->fresh && t->due == TS_TIME_NONE) {
            t->due = now + (sdt ? SDT_PERIOD : PSI_PERIOD);  // sent before the clock came: as if sent now
            t->late = now + (sdt ? SDT_LATE : PSI_LATE);
        } else if (now != TS_TIME_NONE && t->fresh && t->late == TS_TIME_NONE) {
            t->late = now + (sdt ? SDT_LATE - SDT_PERIOD : PSI_LATE - PSI_PERIOD);
        }
        int late = at_end ? t->fresh : t->late != TS_TIME_NONE && now != TS_TIME_NONE && now >= t->late;
        if (!late)
            continue;
        if (s->tab_cur != i && s->tab_cur >= 0) {
            // Another table is half sent: it goes on first, so that no section is cut.
            int other = s->tab_cur;
            while (s->tab_cur == other && s->error >= 0)
                table_packet(s, other, 1);
        }
        while (queue_continues(s, t->pid))
            send_oldest_added(s);
        do
            table_packet(s, i, 1);
        while (s->tab_cur == i && s->error >= 0);
    }
    if (now == TS_TIME_NONE)
        return;  // the timers start with the clock: look again then
    /* Each table has its timers now; until one changes, only its late time can make it act. */
    s->tables_dirty = 0;
    s->tables_late_min = INT64_MAX;
    for (int i = 0; i < s->table_end; i++) {
        const ts_table *t = &s->tables[i];
        if (t->pid < 0 || t->count == 0)
            continue;
        if (t->late == TS_TIME_NONE || (!t->fresh && t->due == TS_TIME_NONE))
            s->tables_dirty = 1;
        else if (t->late < s->tables_late_min)
            s->tables_late_min = t->late;
    }
}

/* tables_send_late, called for every packet: while no table changed and none is late yet, there is nothing to do. */
static void tables_late(ts_out *s, int at_end)
{
    int64_t now = out_now(s);
    if (at_end || s->tables_dirty || (now != TS_TIME_NONE && now >= s->tables_late_min))
        tables_send_late(s, at_end);
}

/* ------------------------------------------------------------------------ */
/* PES units of cue and EPG PIDs. */

/* stream_id values whose PES packets have no optional header (ISO/IEC 13818-1 2.4.3.7) */
static int pes_without_header(int stream_id)
{
    return stream_id == 0xBC || stream_id == 0xBE || stream_id == 0xBF || stream_id == 0xF0 ||
           stream_id == 0xF1 || stream_id == 0xF2 || stream_id == 0xF8 || stream_id == 0xFF;
}

static void pes_finish(ts_out *s, ts_pes_buf *b)
{
    const uint8_t *d = b->data;
    int n = b->len;
    b->active = 0;
    b->len = 0;
    if (n < 6 || d[0] != 0 || d[1] != 0 || d[2] != 1) {
        s->stats.units_dropped++;
        return;
    }
    int length = (d[4] << 8) | d[5];
    int end = length && 6 + length < n ? 6 + length : n;
    int start = 6;
    if (!pes_without_header(d[3])) {
        if (end < 9 || (d[6] & 0xC0) != 0x80 || 9 + d[8] > end) {
            s->stats.units_dropped++;
            return;
        }
        start = 9 + d[8];
    }
    queue_sections(s, b->pid, d + start, end - start);
}

static void pes_feed(ts_out *s, ts_pes_buf *b, const uint8_t *p, int len, int unit_start)
{
    if (unit_start) {
        if (b->active)
            pes_finish(s, b);  // unit without a length, or cut short
        b->active = 1;
    }
    if (!b->active)
        return;
    int n = len < TS_PES_MAX - b->len ? len : TS_PES_MAX - b->len;
    memcpy(b->data + b->len, p, n);
    b->len += n;
    if (b->len >= 6) {
        int length = (b->data[4] << 8) | b->data[5];
        if ((length && b->len >= 6 + length) || b->len == TS_PES_MAX)
            pes_finish(s, b);
    }
}

/* ------------------------------------------------------------------------ */
/* PSI: section gathering, PAT, PMT rewriting. */

static int pmt_index(const ts_out *s, int pid)
{
    for (int i = 0; i < TS_OUT_MAX_PMTS; i++)
        if (s->pmt[i].pid == pid)
            return i;
    return -1;
}

static void pat_section(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    (void)pid;
    if (!ts_psi_valid(sec, len, 0x00, 12))
        return;
    if (s->own_tables && (!s->pass || s->pc.spts))
        own_pat(s, sec, len);
    if (len == s->pat_last_len && !memcmp(sec, s->pat_last, len))
        return;
    memcpy(s->pat_last, sec, len);
    s->pat_last_len = len;
    s->mux_ts_id = (sec[3] << 8) | sec[4];
    for (int o = 8; o + 4 <= len - 4 && sec[6] == 0; o += 4) {
        if (((sec[o] << 8) | sec[o + 1]) == 0)
            continue;
        s->mux_program = (sec[o] << 8) | sec[o + 1];
        s->mux_pmt_pid = ((sec[o + 2] & 0x1F) << 8) | sec[o + 3];
        break;
    }

    int pids[TS_OUT_MAX_PMTS];
    int count = 0;
    for (int o = 8; o + 4 <= len - 4 && count < TS_OUT_MAX_PMTS; o += 4) {
        int program = (sec[o] << 8) | sec[o + 1];
        int pmt_pid = ((sec[o + 2] & 0x1F) << 8) | sec[o + 3];
        if (program == 0 || pmt_pid < 0x10 || pmt_pid == TS_NULL_PID)
            continue;  // network PID, or a PID that cannot be a PMT
        if (s->role[pmt_pid] != ROLE_PASS && s->role[pmt_pid] != ROLE_PMT)
            continue;
        pids[count++] = pmt_pid;
    }
    // A single-section PAT replaces the set of PMT PIDs; later sections of a
    // multi-section PAT only add to it.
    if (sec[6] == 0 && sec[7] == 0) {
        for (int i = 0; i < TS_OUT_MAX_PMTS; i++) {
            int old = s->pmt[i].pid;
            int kept = 0;
            for (int k = 0; k < count; k++)
                kept |= pids[k] == old;
            if (old >= 0 && !kept) {
                s->role[old] = ROLE_PASS;
                s->pmt[i].pid = -1;
            }
        }
    }
    for (int k = 0; k < count; k++) {
        if (pmt_index(s, pids[k]) >= 0)
            continue;
        int i = pmt_index(s, -1);
        if (i < 0)
            break;  // more programmes than tracked: the rest pass untouched
        s->pmt[i].pid = pids[k];
        s->pmt[i].active = 0;
        s->pmt[i].len = 0;
        s->role[pids[k]] = ROLE_PMT;
        s->unit[pids[k]] = (uint8_t)i;
    }
}

static int is_cue_pid(const ts_out *s, int pid)
{
    return s->role[pid] == ROLE_CUE;
}

/* Descriptor that describes PES carriage and so does not apply to sections. */
static int pes_only_descriptor(const uint8_t *d)
{
    if (d[0] == DESC_REGISTRATION)  // format of a PES payload, unless it is SCTE 35's own
        return !(d[1] >= 4 && !memcmp(d + 2, "CUEI", 4));
    return d[0] == 0x06 /* data_stream_alignment */ || d[0] == 0x26 /* metadata */ ||
           d[0] == 0x27 /* metadata_STD */;
}

/*
 * Rewrites a PMT section into s->scratch: cue PIDs with stream type 0x86 and
 * without PES descriptors, "CUEI" at programme level when a cue PID is
 * declared, the EPG PID removed, the programme's PCR PID as PCR_PID (the
 * muxer's is kept in s->mux_pcr_pid). Returns the new length, or 0 when the
 * section is to be sent as it is (not a valid PMT, or nothing to change).
 */
static int pmt_rewrite(ts_out *s, const uint8_t *sec, int len)
{
    if (sec[0] != 0x02 || len < 16 || len > TS_PMT_MAX || !(sec[1] & 0x80) ||
        mpegts_crc32(sec, len) != 0)
        return 0;
    int info_len = ((sec[10] & 0x0F) << 8) | sec[11];
    int es_start = 12 + info_len;
    int end = len - 4;
    if (es_start > end)
        return 0;

    int has_cuei = 0;
    for (int o = 12; o + 2 <= es_start; o += 2 + sec[o + 1]) {
        if (o + 2 + sec[o + 1] > es_start)
            return 0;
        if (sec[o] == DESC_REGISTRATION && sec[o + 1] >= 4 && !memcmp(sec + o + 2, "CUEI", 4))
            has_cuei = 1;
    }
    int has_cue = 0;
    int has_epg = 0;
    for (int o = es_start; o < end;) {
        if (o + 5 > end)
            return 0;
        int pid = ((sec[o + 1] & 0x1F) << 8) | sec[o + 2];
        int es_len = ((sec[o + 3] & 0x0F) << 8) | sec[o + 4];
        if (o + 5 + es_len > end)
            return 0;
        has_cue |= is_cue_pid(s, pid);
        has_epg |= pid == s->epg_pid;
        o += 5 + es_len;
    }
    int pcr_pid = ((sec[8] & 0x1F) << 8) | sec[9];
    int move_pcr = s->pcr_pid && pcr_pid != s->pcr_pid;
    s->mux_pcr_pid = move_pcr && pcr_pid != TS_NULL_PID ? pcr_pid : -1;
    if (!has_cue && !has_epg && !move_pcr)
        return 0;

    // Program info first, so a PMT that would outgrow its limit loses only "CUEI".
    uint8_t *out = s->scratch;
    int add_cuei = has_cue && !has_cuei && len + 6 <= TS_PMT_MAX;
    memcpy(out, sec, es_start);
    if (move_pcr) {
        out[8] = (uint8_t)((sec[8] & 0xE0) | (s->pcr_pid >> 8));
        out[9] = (uint8_t)s->pcr_pid;
    }
    int o = es_start;
    if (add_cuei) {
        static const uint8_t cuei[6] = {DESC_REGISTRATION, 4, 'C', 'U', 'E', 'I'};
        memcpy(out + o, cuei, sizeof(cuei));
        o += sizeof(cuei);
        info_len += sizeof(cuei);
        out[10] = (uint8_t)((sec[10] & 0xF0) | (info_len >> 8));
        out[11] = (uint8_t)info_len;
    }
    for (int i = es_start; i < end;) {
        int pid = ((sec[i + 1] & 0x1F) << 8) | sec[i + 2];
        int es_len = ((sec[i + 3] & 0x0F) << 8) | sec[i + 4];
        const uint8_t *entry = sec + i;
        i += 5 + es_len;
        if (pid == s->epg_pid)
            continue;
        if (o + 5 + es_len > TS_PMT_MAX - 4)
            return 0;  // cannot happen: only "CUEI" adds bytes, and it was checked
        if (!is_cue_pid(s, pid)) {
            memcpy(out + o, entry, 5 + es_len);
            o += 5 + es_len;
            continue;
        }
        uint8_t *head = out + o;
        memcpy(head, entry, 5);
        head[0] = PMT_STREAM_TYPE_SCTE35;
        o += 5;
        int kept = 0;
        for (int d = 5; d + 2 <= 5 + es_len && d + 2 + entry[d + 1] <= 5 + es_len;
             d += 2 + entry[d + 1]) {
            if (pes_only_descriptor(entry + d))
                continue;
            memcpy(out + o, entry + d, 2 + entry[d + 1]);
            o += 2 + entry[d + 1];
            kept += 2 + entry[d + 1];
        }
        head[3] = (uint8_t)((entry[3] & 0xF0) | (kept >> 8));
        head[4] = (uint8_t)kept;
    }
    return ts_psi_finish(out, o);
}

static void pmt_section(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    if (s->pass) {
        /* The input's PMT goes out instead; the muxer's says its number and PCR PID. */
        if (len >= 16 && sec[0] == 0x02) {
            s->mux_program = (sec[3] << 8) | sec[4];
            s->mux_pmt_pcr = ((sec[8] & 0x1F) << 8) | sec[9];
            pmt_rewrite(s, sec, len);
        }
        return;
    }
    int n = pmt_rewrite(s, sec, len);
    s->stats.pmts_rewritten += n > 0;
    int slot = s->own_tables && len >= 12 && sec[0] == 0x02 ? table_slot(s, pid, (sec[3] << 8) | sec[4], 1) : -1;
    if (slot >= 0)
        table_put(s, slot, n > 0 ? s->scratch : sec, n > 0 ? n : len);
    else
        queue_section(s, pid, n > 0 ? s->scratch : sec, n > 0 ? n : len);
}

/* The muxer's SDT (actual), sent while no input's stands in for it. */
static void mux_sdt_section(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    (void)pid;
    if (sec[0] == 0x42 && ts_psi_valid(sec, len, 0x42, 15) && !(s->pass && s->input_sdt))
        table_put(s, TABLE_SDT, sec, len);
}

/* ------------------------------------------------------------------------ */
/* Passthrough: the input's packets, PAT, PMT and SDT. */

/* The input's PAT with the muxer's transport_stream_id, program number and PMT PID. */
static void pass_pat(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    uint8_t *out = s->in_section;
    if (!ts_psi_valid(sec, len, 0x00, 12))
        return;
    memcpy(out, sec, len - 4);
    if (s->mux_ts_id >= 0) {
        out[3] = (uint8_t)(s->mux_ts_id >> 8);
        out[4] = (uint8_t)s->mux_ts_id;
    }
    for (int o = 8; o + 4 <= len - 4 && s->mux_pmt_pid >= 0; o += 4) {
        if (((sec[o] << 8) | sec[o + 1]) != s->pc.in_program)
            continue;
        out[o] = (uint8_t)(s->mux_program >> 8);
        out[o + 1] = (uint8_t)s->mux_program;
        out[o + 2] = (uint8_t)((sec[o + 2] & 0xE0) | (s->mux_pmt_pid >> 8));
        out[o + 3] = (uint8_t)s->mux_pmt_pid;
    }
    int n = ts_psi_finish(out, len - 4);
    if (s->own_tables)
        own_pat(s, out, n);
    else
        queue_section(s, pid, out, n);
}

/* The relayed programme's PMT as the input declares it, on the muxer's PMT PID. */
static void pass_pmt(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    uint8_t *out = s->in_section;
    (void)pid;
    if (!ts_psi_valid(sec, len, 0x02, 16) || len > TS_PMT_MAX || s->mux_pmt_pid < 0)
        return;
    memcpy(out, sec, len - 4);
    if (s->mux_program >= 0) {
        out[3] = (uint8_t)(s->mux_program >> 8);
        out[4] = (uint8_t)s->mux_program;
    }
    if (!s->pc.keep_pcr_pid && s->mux_pmt_pcr >= 0) {
        out[8] = (uint8_t)((sec[8] & 0xE0) | (s->mux_pmt_pcr >> 8));
        out[9] = (uint8_t)s->mux_pmt_pcr;
    }
    ts_psi_finish(out, len - 4);
    int n = pmt_rewrite(s, out, len);
    s->stats.pmts_rewritten += n > 0;
    int slot = s->own_tables ? table_slot(s, s->mux_pmt_pid, s->mux_program, 1) : -1;
    if (slot >= 0)
        table_put(s, slot, n > 0 ? s->scratch : out, n > 0 ? n : len);
    else
        queue_section(s, s->mux_pmt_pid, n > 0 ? s->scratch : out, n > 0 ? n : len);
}

/* Another programme's PMT, as the input sends it. */
static void pass_other_pmt(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    int slot = s->in_other[pid] ? TABLE_PMT + s->in_other[pid] - 1 : -1;
    if (slot >= 0 && ts_psi_valid(sec, len, 0x02, 16) && ((sec[3] << 8) | sec[4]) == s->tables[slot].program)
        table_put(s, slot, sec, len);
}

/* A service_descriptor (DVB, tag 0x48) at d with the names given, into out. Its length, 0 when it does not fit. */
static int service_descriptor(const ts_out *s, const uint8_t *d, uint8_t *out, int room)
{
    if (d[1] < 3 || 4 + d[3] > d[1] + 1 || 5 + d[3] + d[4 + d[3]] > d[1] + 2)
        return 0;  // malformed: kept as it is
    const uint8_t *provider = d + 4, *name = d + 5 + d[3];
    int provider_len = d[3], name_len = d[4 + d[3]];
    if (s->service_provider[0]) {
        provider = (const uint8_t *)s->service_provider;
        provider_len = (int)strlen(s->service_provider);
    }
    if (s->service_name[0]) {
        name = (const uint8_t *)s->service_name;
        name_len = (int)strlen(s->service_name);
    }
    int len = 3 + provider_len + name_len;
    if (len > 255 || 2 + len > room)
        return 0;
    out[0] = 0x48;
    out[1] = (uint8_t)len;
    out[2] = d[2];
    out[3] = (uint8_t)provider_len;
    memcpy(out + 4, provider, provider_len);
    out[4 + provider_len] = (uint8_t)name_len;
    memcpy(out + 5 + provider_len, name, name_len);
    return 2 + len;
}

/* The relayed programme's SDT entry with the muxer's identity and the names given; the others' unless spts. */
static int sdt_entry(const ts_out *s, const uint8_t *e, int e_len, uint8_t *out, int room)
{
    int desc_len = e_len - 5;
    if (5 + desc_len > room)
        return 0;
    memcpy(out, e, 5);
    if (s->mux_program >= 0) {
        out[0] = (uint8_t)(s->mux_program >> 8);
        out[1] = (uint8_t)s->mux_program;
    }
    int o = 5;
    for (int d = 5; d + 2 <= e_len && d + 2 + e[d + 1] <= e_len; d += 2 + e[d + 1]) {
        int n = e[d] == 0x48 ? service_descriptor(s, e + d, out + o, room - o) : 0;
        if (n == 0) {
            if (o + 2 + e[d + 1] > room)
                return 0;
            memcpy(out + o, e + d, 2 + e[d + 1]);
            n = 2 + e[d + 1];
        }
        o += n;
    }
    out[3] = (uint8_t)((e[3] & 0xF0) | ((o - 5) >> 8));
    out[4] = (uint8_t)(o - 5);
    return o;
}

/* The input's SDT (actual) with the muxer's identity; with spts only the relayed programme's entry. */
static void pass_sdt(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    uint8_t *out = s->in_section;
    if (sec[0] != 0x42 || !ts_psi_valid(sec, len, 0x42, 15)) {
        if (!s->pc.spts && len >= 3)
            queue_section(s, pid, sec, len);  // another table on the SDT PID (SDT other, BAT)
        return;
    }
    if (!s->pc.sdt_rewrite) {
        table_put(s, TABLE_SDT, sec, len);  // taken apart only for the stage's own schedule
        return;
    }
    memcpy(out, sec, 11);
    if (s->mux_ts_id >= 0) {
        out[3] = (uint8_t)(s->mux_ts_id >> 8);
        out[4] = (uint8_t)s->mux_ts_id;
    }
    int o = 11, found = 0;
    for (int e = 11; e + 5 <= len - 4;) {
        int e_len = 5 + (((sec[e + 3] & 0x0F) << 8) | sec[e + 4]);
        if (e + e_len > len - 4)
            return;
        int mine = ((sec[e] << 8) | sec[e + 1]) == s->pc.in_program;
        int n = mine ? sdt_entry(s, sec + e, e_len, out + o, TS_PMT_MAX - 4 - o) : 0;
        if (!mine && !s->pc.spts && o + e_len <= TS_PMT_MAX - 4) {
            memcpy(out + o, sec + e, e_len);
            n = e_len;
        }
        found |= mine;
        o += n;
        e += e_len;
    }
    if (s->pc.spts) {
        if (!found)
            return;
        out[6] = out[7] = 0;  // section_number, last_section_number: the one section
    }
    int n = ts_psi_finish(out, o);
    if (s->own_tables)
        table_put(s, TABLE_SDT, out, n);
    else
        queue_section(s, pid, out, n);
}

/* Takes apart a packet of the input's PAT, relayed PMT or SDT; 0 for any other packet, which is sent. */
static int pass_take_psi(ts_out *s, const uint8_t *p)
{
    int pid = ts_pid(p);
    ts_psi_buf *b = nullptr;
    ts_psi_fn fn = nullptr;
    if (pid == SDT_PID)
        s->input_sdt = 1;  // the muxer's gives way
    if (pid == 0 && s->pc.spts) {
        return 1;  // the muxer's PAT, of the one programme, goes out
    } else if (pid == 0) {
        b = &s->in_pat;
        fn = pass_pat;
    } else if (pid == s->pc.in_pmt_pid) {
        b = &s->in_pmt;
        fn = pass_pmt;
    } else if (pid == SDT_PID && (s->pc.sdt_rewrite || s->own_tables)) {
        b = &s->in_sdt;
        fn = pass_sdt;
    } else if (s->in_other[pid]) {
        b = &s->in_pmts[s->in_other[pid] - 1];
        fn = pass_other_pmt;
    } else {
        return 0;
    }
    int off = ts_payload_offset(p);
    if (off >= 0)
        ts_psi_feed(b, p + off, TS_PACKET_SIZE - off, (p[1] & 0x40) != 0, fn, s);
    return 1;
}

/* The next packet of the queue due now, the sections it holds taken apart on the way; null: none due. */
static const uint8_t *pass_next(ts_out *s)
{
    if (!s->pass)
        return nullptr;
    const uint8_t *p;
    while ((p = ts_pass_due(s->pass, s->now)) && pass_take_psi(s, p))
        ts_pass_pop(s->pass);
    return p;
}

/*
 * Sends the queue's oldest packet (returned by pass_next) and takes it off,
 * byte for byte but for its continuity counter after a rejoin.
 */
static void pass_send(ts_out *s, const uint8_t *p)
{
    int pid = ts_pid(p), cc = p[3] & 0x0F, payload = (p[3] & 0x10) != 0;
    uint8_t *f = &s->pass_flags[pid];
    if (ts_pass_take_gap(s->pass, pid))
        *f |= PASS_REJOIN;  // a packet dropped for room: the counters go on as if it had not been
    int expected = (s->pass_in_cc[pid] + payload) & 0x0F;
    int flagged = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);  // discontinuity_indicator
    bool broke = (*f & PASS_SEEN) && cc != expected && cc != s->pass_in_cc[pid] && !flagged;
    if ((*f & PASS_REJOIN) && broke) {
        // The output's counter goes on from its last value, as if this packet followed it.
        s->pass_shift[pid] = (uint8_t)((s->pass_shift[pid] + expected - cc) & 0x0F);
        *f &= ~PASS_REJOIN;
    } else if (broke) {
        // Packets lost before the input: they go out as they came, counted as the input's.
        s->in_cc_errors[pid]++;
        s->stats.input_cc_errors++;
        s->passing_break = 1;
    }
    s->pass_in_cc[pid] = (uint8_t)cc;
    *f |= PASS_SEEN;
    s->passing = 1;
    if (s->pass_shift[pid]) {
        uint8_t pkt[TS_PACKET_SIZE];
        memcpy(pkt, p, TS_PACKET_SIZE);
        pkt[3] = (uint8_t)((p[3] & 0xF0) | ((cc + s->pass_shift[pid]) & 0x0F));
        send_packet(s, pkt);
    } else {
        send_packet(s, p);
    }
    s->passing = 0;
    s->passing_break = 0;
    ts_pass_pop(s->pass);
    s->stats.passed++;
}

int ts_out_take_input_cc(ts_out *stage, int *pids, int64_t *counts, int max)
{
    int n = 0;
    for (int pid = 0; stage && pid < TS_PID_COUNT && n < max; pid++) {
        if (!stage->in_cc_errors[pid])
            continue;
        pids[n] = pid;
        counts[n++] = stage->in_cc_errors[pid];
        stage->in_cc_errors[pid] = 0;
    }
    return n;
}

void ts_out_pass_rejoin(ts_out *stage)
{
    for (int pid = 0; stage && pid < TS_PID_COUNT; pid++)
        stage->pass_flags[pid] |= PASS_REJOIN;
}

/*
 * What the muxer's packet p says for the passthrough: a PES start of the
 * lead PID gives the output's lead, and at
 * a variable rate the queue's packets due by now go out before it.
 */
static void pass_observe(ts_out *s, const uint8_t *p, int pid)
{
    int64_t now = s->now;
    int64_t dts = pid == ts_pass_lead_pid(s->pass) && now != TS_TIME_NONE ? ts_pes_start_dts(p) : -1;
    if (dts >= 0)
        ts_pass_lead_out(s->pass, ts_pcr_diff(dts * 300, now));
    const uint8_t *raw;
    while (!s->mux_rate && (raw = pass_next(s)))
        pass_send(s, raw);
}

/* Takes apart the tables' packets of the queue that are due, whether places come or not. */
static void pass_tables(ts_out *s, int all)
{
    const uint8_t *p;
    while ((p = all ? ts_pass_table_front(s->pass) : ts_pass_table_due(s->pass, out_now(s)))) {
        pass_take_psi(s, p);  // a PID whose programme left the PAT meanwhile: left out
        ts_pass_table_pop(s->pass);
    }
}

/* Sends everything the queue holds, its sections taken apart. */
static void pass_flush(ts_out *s)
{
    const uint8_t *p;
    pass_tables(s, 1);
    while ((p = ts_pass_front(s->pass))) {
        if (pass_take_psi(s, p))
            ts_pass_pop(s->pass);
        else
            pass_send(s, p);
    }
}

/* ------------------------------------------------------------------------ */
/* One input packet. */

/* The place of a taken-apart packet; a PCR it carried stays, in an adaptation-only packet. */
static void free_place(ts_out *s, const uint8_t *p, int pid, int afc)
{
    int own_pcr = s->pass && s->pc.keep_pcr_pid;  // the programme's PCR passes through: the muxer's is not sent
    if ((afc & 2) && !own_pcr && p[4] > 0 && p[4] <= TS_PACKET_SIZE - 5 && (p[5] & 0x10)) {
        uint8_t pkt[TS_PACKET_SIZE];
        pkt[0] = TS_SYNC_BYTE;
        pkt[1] = (uint8_t)(pid >> 8);
        pkt[2] = (uint8_t)pid;
        pkt[3] = (uint8_t)(0x20 | s->cc[pid]);  // no payload: the counter does not advance
        pkt[4] = TS_PACKET_SIZE - 5;
        memcpy(pkt + 5, p + 5, p[4]);
        memset(pkt + 5 + p[4], 0xFF, TS_PACKET_SIZE - 5 - p[4]);
        send_packet(s, pkt);
        return;
    }
    fill_place(s, nullptr);
}

/* The place of the null packet held back: the packet after it carries no PCR. */
static void release_null(ts_out *s)
{
    s->null_held = 0;
    fill_place(s, s->held);
}

/*
 * The muxer's packet p on its PCR PID, about to be sent in its place: a PCR
 * it carries is copied onto the programme's PCR PID, in the place of the
 * null packet held just before p, else just before p at a variable rate,
 * else into a later free place. A copy still waiting goes first.
 */
static void copy_pcr(ts_out *s, const uint8_t *p)
{
    int64_t pcr = ts_packet_pcr(p);
    if (pcr < 0) {
        if (s->null_held)
            release_null(s);
        return;
    }
    if (s->pcr_copy >= 0)
        send_pcr_copy(s, 1);
    int before = s->null_held || !s->mux_rate;
    s->pcr_copy = pcr;
    s->pcr_from = s->place;
    s->pcr_out = s->stats.packets_out + before;
    if (before)
        send_pcr_copy(s, !s->null_held);
    s->null_held = 0;
}

static void handle_packet(ts_out *s, const uint8_t *p)
{
    s->stats.packets_in++;
    s->place++;
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    int afc = (p[3] >> 4) & 3;
    int off = (afc & 2) ? 5 + p[4] : 4;
    int has_payload = (afc & 1) && off < TS_PACKET_SIZE && !(p[1] & 0x80);
    int unit_start = (p[1] & 0x40) != 0;
    int on_pcr_pid = pid == s->mux_pcr_pid && s->role[pid] == ROLE_PASS && !(p[1] & 0x80);

    int64_t pcr = ts_packet_pcr(p);
    if (pcr >= 0)
        ts_clock_take(&s->out_clock, s->place, pcr);  // the output's time
    s->now = ts_clock_at(&s->out_clock, s->place);
    if (s->pass)
        pass_observe(s, p, pid);
    if (s->pass && s->own_tables)
        pass_tables(s, 0);
    if (s->null_held && !on_pcr_pid)
        release_null(s);
    if ((s->own_tables && (pid == 0 || pid == SDT_PID)) ||
        (s->pass && ((pid == 0 && !s->pc.spts) || (pid == SDT_PID && s->input_sdt)))) {
        // The stage sends the PAT and SDT itself, or the input's go out instead; the muxer's PAT says its identity.
        if (pid == 0 && has_payload)
            ts_psi_feed(&s->pat, p + off, TS_PACKET_SIZE - off, unit_start, pat_section, s);
        else if (pid == SDT_PID && has_payload && s->own_tables)
            ts_psi_feed(&s->mux_sdt, p + off, TS_PACKET_SIZE - off, unit_start, mux_sdt_section, s);
        free_place(s, p, pid, afc);
    } else if (pid == TS_NULL_PID) {
        if (s->mux_pcr_pid >= 0 && s->mux_rate && s->pcr_copy < 0 && s->queue_count == 0) {
            memcpy(s->held, p, TS_PACKET_SIZE);
            s->null_held = 1;
        } else {
            fill_place(s, p);
        }
    } else if (s->role[pid] == ROLE_PASS) {
        if (pid == 0 && has_payload)
            ts_psi_feed(&s->pat, p + off, TS_PACKET_SIZE - off, unit_start, pat_section, s);
        if (on_pcr_pid)
            copy_pcr(s, p);
        send_packet(s, p);
    } else if (!(afc & 1) && !(p[1] & 0x80) && s->pass && s->pc.keep_pcr_pid) {
        free_place(s, p, pid, afc);
    } else if (!(afc & 1) && !(p[1] & 0x80)) {
        // Adaptation field only: stays in its place, on this PID's counter.
        uint8_t pkt[TS_PACKET_SIZE];
        memcpy(pkt, p, TS_PACKET_SIZE);
        pkt[3] = (uint8_t)((p[3] & 0xF0) | s->cc[pid]);
        send_packet(s, pkt);
    } else {
        if (!has_payload) {
            // Errored or malformed: its bytes cannot be trusted.
        } else if (s->role[pid] == ROLE_PMT) {
            ts_psi_feed(&s->pmt[s->unit[pid]], p + off, TS_PACKET_SIZE - off, unit_start, pmt_section, s);
        } else {
            pes_feed(s, &s->pes[s->unit[pid]], p + off, TS_PACKET_SIZE - off, unit_start);
        }
        free_place(s, p, pid, afc);
    }

    if (s->pcr_copy >= 0 && s->place - s->pcr_from >= s->pcr_wait)
        send_pcr_copy(s, 1);
    while (s->queue_count > 0 && s->queue[s->queue_head].due <= s->place)
        send_oldest_added(s);
    if (s->own_tables)
        tables_late(s, 0);
}

/* AVIO write callback: whole packets go straight through, pieces are gathered. */
static int ts_out_write(void *opaque, uint8_t *buf, int size)
{
    ts_out *s = (ts_out *)opaque;
    if (s->error < 0)
        return s->error;
    s->stats.bytes_in += size;
    const uint8_t *p = buf;
    int left = size;
    while (left > 0) {
        if (s->partial_len == 0) {
            if (p[0] != TS_SYNC_BYTE) {
                const uint8_t *sync = (const uint8_t *)memchr(p, TS_SYNC_BYTE, left);
                int skip = sync ? (int)(sync - p) : left;
                s->stats.bytes_skipped += skip;
                p += skip;
                left -= skip;
                continue;
            }
            if (left >= TS_PACKET_SIZE) {
                handle_packet(s, p);
                p += TS_PACKET_SIZE;
                left -= TS_PACKET_SIZE;
                continue;
            }
        }
        int n = TS_PACKET_SIZE - s->partial_len < left ? TS_PACKET_SIZE - s->partial_len : left;
        memcpy(s->partial + s->partial_len, p, n);
        s->partial_len += n;
        p += n;
        left -= n;
        if (s->partial_len == TS_PACKET_SIZE) {
            s->partial_len = 0;
            handle_packet(s, s->partial);
        }
    }
    return s->error < 0 ? s->error : size;
}

/* ------------------------------------------------------------------------ */

static int valid_pid(int pid)
{
    return pid >= 0x10 && pid <= 0x1FFE;
}

/*
 * The stage without its destination: checks the configuration and allocates
 * the stage and the muxer's context. 0 with *out set, or the error.
 */
static int stage_create(ts_out **out, const ts_out_config *config, int packet_size)
{
    if (config->cue_pid_count < 0 || config->cue_pid_count > TS_OUT_MAX_CUE_PIDS ||
        packet_size < TS_PACKET_SIZE || packet_size > (1 << 20))
        return -ERANGE;
    if (config->epg_pid != -1 && !valid_pid(config->epg_pid))
        return -ERANGE;
    if (config->pcr_pid && (config->pcr_pid < 0x20 || !valid_pid(config->pcr_pid)))
        return -ERANGE;
    for (int i = 0; i < config->cue_pid_count; i++) {
        if (!valid_pid(config->cue_pids[i]))
            return -ERANGE;
        if (config->cue_pids[i] == config->epg_pid || config->cue_pids[i] == config->pcr_pid)
            return -EINVAL;
    }

    ts_out *s = (ts_out *)av_mallocz(sizeof(*s));
    if (!s)
        return -ENOMEM;
    s->epg_pid = config->epg_pid;
    s->pcr_pid = config->pcr_pid;
    s->mux_rate = config->mux_rate > 1 ? config->mux_rate : 0;
    s->pcr_wait = av_rescale(s->mux_rate, PCR_WAIT_US, 1000000LL * TS_PACKET_SIZE * 8);
    s->pcr_wait = s->pcr_wait > 0 ? s->pcr_wait : 1;
    s->mux_pcr_pid = -1;
    s->pcr_copy = -1;
    s->pat.pid = 0;
    s->mux_ts_id = s->mux_program = s->mux_pmt_pid = s->mux_pmt_pcr = -1;
    ts_clock_reset(&s->out_clock);
    s->now = TS_TIME_NONE;
    for (int i = 0; i < TS_OUT_MAX_PMTS; i++)
        s->pmt[i].pid = -1;
    s->own_tables = s->mux_rate > 0;
    for (ts_table &t : s->tables)
        t.pid = -1;
    s->tables[TABLE_PAT].pid = 0;
    s->tables[TABLE_SDT].pid = SDT_PID;
    s->table_end = TABLE_PMT;
    s->tab_cur = -1;
    s->tables_dirty = 1;
    s->mux_sdt.pid = SDT_PID;
    check_reset(&s->check);
    // Counters start so that the first packet sent carries 0, as the muxer's do.
    memset(s->cc, 0x0F, sizeof(s->cc));
    for (int i = 0; i <= config->cue_pid_count; i++) {
        int pid = i < config->cue_pid_count ? config->cue_pids[i] : config->epg_pid;
        if (pid < 0 || s->role[pid] != ROLE_PASS)
            continue;  // no EPG PID, or a cue PID given twice
        s->role[pid] = i < config->cue_pid_count ? ROLE_CUE : ROLE_EPG;
        s->unit[pid] = (uint8_t)s->pes_count;
        s->pes[s->pes_count++].pid = pid;
    }

    int ret = -ENOMEM;
    uint8_t *buffer = (uint8_t *)av_malloc(packet_size);
    if (!buffer)
        goto out_free_stage;
    s->pb = avio_alloc_context(buffer, packet_size, 1, s, nullptr, ts_out_write, nullptr);
    if (!s->pb) {
        av_free(buffer);
        goto out_free_stage;
    }
    *out = s;
    return 0;

out_free_stage:
    av_free(s);
    return ret;
}

/*
 * The stage's side of its destination, once open: the packets sent are
 * gathered in a buffer of dest's size and handed over whole, with no copy
 * through dest's own. 0 or -ENOMEM.
 */
static int stage_attach(ts_out *s)
{
    s->out_size = s->dest->buffer_size;
    s->out_buf = (uint8_t *)av_malloc(s->out_size);
    if (!s->out_buf)
        return -ENOMEM;
    s->dest->direct = 1;
    return 0;
}

static void stage_free(ts_out *s)
{
    av_freep(&s->out_buf);
    av_freep(&s->pb->buffer);
    avio_context_free(&s->pb);
    av_free(s);
}

int ts_out_open(ts_out **out, const char *url, const ts_out_config *config,
                const AVIOInterruptCB *interrupt, int packet_size)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!url || !config)
        return -EINVAL;
    ts_out *s;
    int ret = stage_create(&s, config, packet_size);
    if (ret < 0)
        return ret;
    ret = avio_open2(&s->dest, url, AVIO_FLAG_WRITE, interrupt, nullptr);
    if (ret < 0) {
        stage_free(s);
        return ret;
    }
    ret = stage_attach(s);
    if (ret < 0) {
        avio_closep(&s->dest);
        stage_free(s);
        return ret;
    }
    *out = s;
    return 0;
}

int ts_out_open_writer(ts_out **out, ts_out_write_fn write, void *opaque,
                       const ts_out_config *config, int packet_size)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!write || !config)
        return -EINVAL;
    ts_out *s;
    int ret = stage_create(&s, config, packet_size);
    if (ret < 0)
        return ret;
    uint8_t *buffer = (uint8_t *)av_malloc(packet_size);
    if (buffer)
        s->dest = avio_alloc_context(buffer, packet_size, 1, opaque, nullptr, write, nullptr);
    if (!s->dest || stage_attach(s) < 0) {
        if (s->dest)
            avio_context_free(&s->dest);
        av_free(buffer);
        stage_free(s);
        return -ENOMEM;
    }
    s->dest_is_writer = 1;
    *out = s;
    return 0;
}

AVIOContext *ts_out_pb(ts_out *stage)
{
    return stage ? stage->pb : nullptr;
}

int ts_out_set_pacing(ts_out *stage, int64_t rate, int64_t max_lead_us)
{
    if (!stage)
        return -EINVAL;
    if (rate < 0 || max_lead_us < 0)
        return -ERANGE;
    stage->rate = max_lead_us > 0 ? rate : 0;
    stage->max_lead_us = rate > 0 ? max_lead_us : 0;
    stage->clock_start = 0;
    stage->clock_bits = 0;
    return 0;
}

int ts_out_set_pass(ts_out *stage, ts_pass *pass, const ts_out_pass_config *config)
{
    if (!stage || (pass && !config))
        return -EINVAL;
    if (stage->pass) {
        pass_flush(stage);
        for (int pid = 0; pid < TS_PID_COUNT; pid++)
            ts_pass_set_table_pid(stage->pass, pid, 0);
        memset(stage->in_other, 0, sizeof(stage->in_other));
    }
    stage->pass = pass;
    if (!pass)
        return 0;
    stage->pc = *config;
    stage->pc.service_name = stage->pc.service_provider = nullptr;
    snprintf(stage->service_name, sizeof(stage->service_name), "%s", config->service_name ? config->service_name : "");
    snprintf(stage->service_provider, sizeof(stage->service_provider), "%s",
             config->service_provider ? config->service_provider : "");
    stage->input_sdt = config->input_sdt;
    stage->in_pat.pid = 0;
    stage->in_pmt.pid = config->in_pmt_pid;
    stage->in_sdt.pid = SDT_PID;
    stage->in_pat.active = stage->in_pmt.active = stage->in_sdt.active = 0;
    if (stage->own_tables) {
        // Their packets wait apart, so that the stage's tables never wait behind others.
        ts_pass_set_table_pid(pass, 0, !config->spts);
        ts_pass_set_table_pid(pass, SDT_PID, 1);
        ts_pass_set_table_pid(pass, config->in_pmt_pid, 1);
    }
    return 0;
}

int ts_out_get_stats(const ts_out *stage, ts_out_stats *stats)
{
    if (!stage || !stats)
        return -EINVAL;
    *stats = stage->stats;
    return 0;
}

int ts_out_close(ts_out **p)
{
    if (!p || !*p)
        return -EINVAL;
    ts_out *s = *p;
    *p = nullptr;

    avio_flush(s->pb);  // the muxer's last bytes, through ts_out_write
    s->stats.bytes_skipped += s->partial_len;
    s->partial_len = 0;
    for (int i = 0; i < s->pes_count; i++)
        if (s->pes[i].active)
            pes_finish(s, &s->pes[i]);  // a unit without a length ends with the stream
    if (s->null_held)
        release_null(s);
    if (s->pcr_copy >= 0)
        send_pcr_copy(s, 1);
    if (s->pass)
        pass_flush(s);
    if (s->own_tables)
        tables_late(s, 1);
    while (s->queue_count > 0)
        send_oldest_added(s);

    out_flush(s);
    int ret = s->error;
    avio_flush(s->dest);
    if (ret == 0 && s->dest->error < 0)
        ret = s->dest->error;
    if (s->dest_is_writer) {
        av_freep(&s->dest->buffer);
        avio_context_free(&s->dest);
    } else {
        int close_ret = avio_closep(&s->dest);
        if (ret == 0 && close_ret < 0)
            ret = close_ret;
    }
    stage_free(s);
    return ret;
}
