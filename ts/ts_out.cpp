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
 * Every packet sent passes the checks (ts_out_check.cpp), which keep their
 * own clock from the PCRs sent. The passthrough's packets and tables are
 * in ts_out_pass.cpp; the record all three share is in ts_out_internal.h.
 */
#include "ts/ts_out_internal.h"
#include "ts/ts_pass.h"

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

static const uint8_t null_packet_header[4] = {TS_SYNC_BYTE, 0x1F, 0xFF, 0x10};

static int table_next(const ts_out *s, int64_t now);
static void table_packet(ts_out *s, int i, int added);

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

void ts_out_send_packet(ts_out *s, const uint8_t *pkt)
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
    ts_out_check_packet(s, pkt, s->stats.packets_out);
    s->stats.packets_out++;
    s->stats.bytes_out += TS_PACKET_SIZE;
}

/* Sends the oldest waiting packet outside any place of the muxer's. */
static void send_oldest_added(ts_out *s)
{
    ts_out_send_packet(s, s->queue[s->queue_head].pkt);
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
    ts_out_send_packet(s, pkt);
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
    const uint8_t *passed = ts_out_pass_next(s);
    int table = s->own_tables ? table_next(s, out_now(s)) : -1;
    if (table >= 0 && s->tab_cur != table && queue_continues(s, s->tables[table].pid))
        table = -1;  // a section waiting on its PID (an SDT other, say) is not cut
    if (table >= 0) {
        table_packet(s, table, 0);
        return;
    }
    if (s->queue_count > 0) {
        ts_out_send_packet(s, s->queue[s->queue_head].pkt);
        s->queue_head = (s->queue_head + 1) % TS_OUT_QUEUE_SIZE;
        s->queue_count--;
        return;
    }
    if (passed) {
        ts_out_pass_send(s, passed);
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
        ts_out_send_packet(s, null_pkt);
        return;
    }
    uint8_t pkt[TS_PACKET_SIZE];
    memcpy(pkt, null_packet_header, sizeof(null_packet_header));
    memset(pkt + 4, 0xFF, TS_PACKET_SIZE - 4);
    ts_out_send_packet(s, pkt);
}

/* Packetizes one section onto pid: first packet with payload_unit_start and pointer_field 0. */
void ts_out_queue_section(ts_out *s, int pid, const uint8_t *sec, int len)
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
        ts_out_queue_section(s, pid, p + pos, total);
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

/* The slot of the PMT of program on pid; a free one when create (-1 when none is left). */
int ts_out_table_slot(ts_out *s, int pid, int program, int create)
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
void ts_out_table_put(ts_out *s, int i, const uint8_t *sec, int len)
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
void ts_out_own_pat(ts_out *s, const uint8_t *sec, int len)
{
    ts_out_table_put(s, TABLE_PAT, sec, len);
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
        int i = ts_out_table_slot(s, pid, program, 1);
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
    ts_out_send_packet(s, pkt);
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
        ts_out_own_pat(s, sec, len);
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
int ts_out_pmt_rewrite(ts_out *s, const uint8_t *sec, int len)
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
            ts_out_pmt_rewrite(s, sec, len);
        }
        return;
    }
    int n = ts_out_pmt_rewrite(s, sec, len);
    s->stats.pmts_rewritten += n > 0;
    int slot = s->own_tables && len >= 12 && sec[0] == 0x02 ? ts_out_table_slot(s, pid, (sec[3] << 8) | sec[4], 1) : -1;
    if (slot >= 0)
        ts_out_table_put(s, slot, n > 0 ? s->scratch : sec, n > 0 ? n : len);
    else
        ts_out_queue_section(s, pid, n > 0 ? s->scratch : sec, n > 0 ? n : len);
}

/* The muxer's SDT (actual), sent while no input's stands in for it. */
static void mux_sdt_section(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    (void)pid;
    if (sec[0] == 0x42 && ts_psi_valid(sec, len, 0x42, 15) && !(s->pass && s->input_sdt))
        ts_out_table_put(s, TABLE_SDT, sec, len);
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
        ts_out_send_packet(s, pkt);
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
        ts_out_pass_observe(s, p, pid);
    if (s->pass && s->own_tables)
        ts_out_pass_tables(s, 0);
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
        ts_out_send_packet(s, p);
    } else if (!(afc & 1) && !(p[1] & 0x80) && s->pass && s->pc.keep_pcr_pid) {
        free_place(s, p, pid, afc);
    } else if (!(afc & 1) && !(p[1] & 0x80)) {
        // Adaptation field only: stays in its place, on this PID's counter.
        uint8_t pkt[TS_PACKET_SIZE];
        memcpy(pkt, p, TS_PACKET_SIZE);
        pkt[3] = (uint8_t)((p[3] & 0xF0) | s->cc[pid]);
        ts_out_send_packet(s, pkt);
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

static void gathered_packet(void *opaque, const uint8_t *p)
{
    handle_packet((ts_out *)opaque, p);
}

/* AVIO write callback: whole packets go straight through, pieces are gathered, lost sync is skipped. */
static int ts_out_write(void *opaque, uint8_t *buf, int size)
{
    ts_out *s = (ts_out *)opaque;
    if (s->error < 0)
        return s->error;
    s->stats.bytes_in += size;
    s->stats.bytes_skipped += ts_gather_feed(&s->gather, buf, size, true, gathered_packet, s);
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
    ts_out_check_reset(&s->check);
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
    s->stats.bytes_skipped += s->gather.len;
    s->gather.len = 0;
    for (int i = 0; i < s->pes_count; i++)
        if (s->pes[i].active)
            pes_finish(s, &s->pes[i]);  // a unit without a length ends with the stream
    if (s->null_held)
        release_null(s);
    if (s->pcr_copy >= 0)
        send_pcr_copy(s, 1);
    if (s->pass)
        ts_out_pass_flush(s);
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
