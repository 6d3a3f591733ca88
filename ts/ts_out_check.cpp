/*
 * The output stage's self-check: what a receiver's monitor (ETSI TR 101 290,
 * first and second priority) would find in the packets as sent. Every packet
 * sent passes ts_out_check_packet, which keeps a clock of its own from the
 * PCRs sent (the first PID's whose PCR goes out) and counts, in ts_out_stats:
 * PAT, PMT (of the PMT PIDs of the last PAT sent) and SDT actual gaps over
 * their limits, once a gap; PCR gaps over 40 ms and jumps back or over 100 ms
 * without discontinuity_indicator (the output's own PCRs: what passes through
 * from the input keeps the input's); continuity counters that do not go up by
 * one with each payload (one packet may come twice), but for a break the
 * input brought on a passed PID. Nothing is logged; nothing is allocated.
 */
#include "ts/ts_out_internal.h"

#include <algorithm>
#include <cstring>

/* ------------------------------------------------------------------------ */
/* Self-check: what a receiver would find in the packets sent. */

static const char *const check_names[TS_OUT_CHECK_COUNT] = {
    "pat_interval", "pmt_interval", "sdt_interval", "pcr_interval", "pcr_discontinuity", "continuity",
};

const char *ts_out_check_name(int check)
{
    return check >= 0 && check < TS_OUT_CHECK_COUNT ? check_names[check] : nullptr;
}

void ts_out_check_reset(ts_check_state *c)
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
void ts_out_check_packet(ts_out *s, const uint8_t *p, int64_t index)
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

