/*
 * Passthrough queue: a ring of TS packets with their input times, the
 * delay between the input's and the output's clocks, and the clocks.
 */
#include "ts/ts_pass.h"
#include "common/bigmem.h"
#include "ts/ts_psi.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/mem.h>
}

#define TS_PASS_MIN_CAPACITY 64
#define TS_PASS_MAX_CAPACITY (1 << 20)

/* ------------------------------------------------------------------------ */
/* Clocks */

void ts_clock_reset(ts_clock *c)
{
    c->t = c->prev_t = TS_TIME_NONE;
    c->at = c->prev_at = 0;
    c->raw = 0;
    c->span = c->packets = 0;
    c->step_q = c->step_r = 0;
    c->last_k = c->last_q = c->last_r = 0;
}

/* Ticks a packet takes between 1 Gbit/s and 100 kbit/s: a rate outside is no rate at all. */
#define CLOCK_MIN_STEP 40
#define CLOCK_MAX_STEP 406080

void ts_clock_take(ts_clock *c, int64_t index, int64_t pcr)
{
    if (c->t == TS_TIME_NONE) {
        c->t = pcr;
        c->at = index;
        c->raw = pcr;
        return;
    }
    int64_t step = ts_pcr_diff(pcr, c->raw);
    /* A discontinuity: the line goes on where it would have been. */
    int64_t t = step < 0 || step > TS_CLOCK_HZ ? ts_clock_at(c, index) : c->t + step;
    c->prev_t = c->t;
    c->prev_at = c->at;
    c->t = t;
    c->at = index;
    c->raw = pcr;
    int64_t span = c->t - c->prev_t, packets = c->at - c->prev_at;
    bool rate = packets != 0 && span >= CLOCK_MIN_STEP * packets && span <= CLOCK_MAX_STEP * packets;
    c->span = rate ? span : 0;
    c->packets = rate ? packets : 0;
    c->step_q = rate ? span / packets : 0;
    c->step_r = rate ? span % packets : 0;
    c->last_k = c->last_q = c->last_r = 0;
}

/* ------------------------------------------------------------------------ */
/* Queue */

struct ts_pass_entry {
    int64_t t_in;
    int64_t seq;             // order of arrival, across the queue and the table ring
    uint8_t pkt[TS_PACKET_SIZE];
};

struct ts_lead {
    int pid;
    int n;
    int64_t max;
};

struct ts_pass {
    ts_pass_entry *ring;
    int cap;
    int head;
    int count;
    int pending;             // newest entries still without an input time
    int lead_pid;
    ts_lead in[TS_PASS_MAX_PIDS];
    int out_n;
    int64_t out_min;
    int counting;            // ts_pass_keep was called: drops count
    int running;             // the output has a clock (ts_pass_due with a time)
    uint8_t kept[TS_PID_COUNT / 8];  // bit per PID: never dropped for room (ts_pass_protect)
    int kept_any;
    uint8_t gap[TS_PID_COUNT / 8];   // bit per PID: a packet of it with payload was dropped since it last left
    uint8_t table_pid[TS_PID_COUNT / 8];  // bit per PID: queued apart, in the table ring
    int64_t pushed;          // packets pushed so far: the next one's seq
    ts_pass_entry *tables;   // the table ring, oldest (lowest seq) first
    int tables_cap;
    int tables_head;
    int tables_count;
    int64_t max_wait;        // see ts_pass_set_max_wait; 0: none
    int fixed;               // the delay is kept: delay holds it
    int64_t delay;
    ts_pass_stats stats;
};

int ts_pass_create(ts_pass **out, int capacity)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (capacity < TS_PASS_MIN_CAPACITY || capacity > TS_PASS_MAX_CAPACITY)
        return -ERANGE;
    ts_pass *p = (ts_pass *)av_mallocz(sizeof(*p));
    if (!p)
        return -ENOMEM;
    p->tables_cap = capacity < TS_PASS_TABLE_CAPACITY ? capacity : TS_PASS_TABLE_CAPACITY;
    /* Megabytes that the ring's turns touch all over: in huge pages where the kernel gives them. */
    p->ring = (ts_pass_entry *)bigmem_alloc((size_t)capacity * sizeof(ts_pass_entry));
    p->tables = (ts_pass_entry *)av_malloc_array(p->tables_cap, sizeof(ts_pass_entry));
    if (!p->ring || !p->tables) {
        bigmem_free(p->ring);
        av_free(p->tables);
        av_free(p);
        return -ENOMEM;
    }
    p->cap = capacity;
    p->lead_pid = -1;
    for (auto &l : p->in)
        l.pid = -1;
    *out = p;
    return 0;
}

int ts_pass_destroy(ts_pass **pp)
{
    if (!pp || !*pp)
        return -EINVAL;
    bigmem_free((*pp)->ring);
    av_free((*pp)->tables);
    av_freep(pp);
    return 0;
}

static ts_pass_entry *entry(const ts_pass *p, int i)
{
    return &p->ring[(p->head + i) % p->cap];
}

static void remove_oldest(ts_pass *p)
{
    p->head = (p->head + 1) % p->cap;
    p->count--;
    p->pending -= p->pending > p->count;
}

static int is_kept(const ts_pass *p, int pid)
{
    return (p->kept[pid >> 3] >> (pid & 7)) & 1;
}

/* Index of the oldest packet that may be dropped for room (all may when every one is protected); -1: empty. */
static int oldest_droppable(const ts_pass *p)
{
    for (int i = 0; p->kept_any && i < p->count; i++)
        if (!is_kept(p, ts_pid(entry(p, i)->pkt)))
            return i;
    return p->count ? 0 : -1;
}

/*
 * Counts a packet left out (once ts_pass_keep was called): dropped when the
 * output was placing packets (it runs, and the delay is known), else trimmed
 * (it came before anything could be placed).
 */
static void count_drop(ts_pass *p)
{
    if (p->running && ts_pass_delay(p) != TS_TIME_NONE)
        p->stats.dropped += p->counting;
    else
        p->stats.trimmed += p->counting;
}

/* Drops the packet at index i, the older ones keeping their order. */
static void drop_at(ts_pass *p, int i)
{
    const uint8_t *gone = entry(p, i)->pkt;
    if (gone[3] & 0x10)
        p->gap[ts_pid(gone) >> 3] |= (uint8_t)(1 << (ts_pid(gone) & 7));
    int timed = p->count - p->pending;
    for (int j = i; j > 0; j--)
        *entry(p, j) = *entry(p, j - 1);
    p->head = (p->head + 1) % p->cap;
    p->count--;
    p->pending -= i >= timed;
    count_drop(p);
}

bool ts_pass_take_gap(ts_pass *p, int pid)
{
    if (!p || pid < 0 || pid >= TS_PID_COUNT || !((p->gap[pid >> 3] >> (pid & 7)) & 1))
        return false;
    p->gap[pid >> 3] &= (uint8_t)~(1 << (pid & 7));
    return true;
}

void ts_pass_protect(ts_pass *p, int pid)
{
    if (!p || pid < 0 || pid >= TS_PID_COUNT)
        return;
    p->kept[pid >> 3] |= (uint8_t)(1 << (pid & 7));
    p->kept_any = 1;
}

void ts_pass_set_max_wait(ts_pass *p, int64_t max_wait)
{
    p->max_wait = max_wait;
}

static ts_pass_entry *table_entry(const ts_pass *p, int i)
{
    return &p->tables[(p->tables_head + i) % p->tables_cap];
}

/*
 * A packet of a table PID into the table ring, in its order of arrival
 * among the ring's (a packet queued before its PID became a table PID
 * goes before the later ones of the others); a full ring drops its oldest.
 */
static void put_table(ts_pass *p, const ts_pass_entry *e)
{
    if (p->tables_count == p->tables_cap) {
        count_drop(p);
        if (e->seq < table_entry(p, 0)->seq)
            return;  // older than all it holds: the one to drop
        p->tables_head = (p->tables_head + 1) % p->tables_cap;
        p->tables_count--;
    }
    int i = p->tables_count++;
    for (; i > 0 && table_entry(p, i - 1)->seq > e->seq; i--)
        *table_entry(p, i) = *table_entry(p, i - 1);
    *table_entry(p, i) = *e;
}

/* Leaves in the queue, in their order, the packets for which take(p, entry) is true. */
template <typename Take> static void keep_where(ts_pass *p, Take take)
{
    int kept = 0, pending = 0;
    for (int i = 0; i < p->count; i++) {
        ts_pass_entry *e = entry(p, i);
        if (!take(p, e))
            continue;
        if (kept != i)
            *entry(p, kept) = *e;
        pending = e->t_in == TS_TIME_NONE ? pending + 1 : 0;
        kept++;
    }
    p->count = kept;
    p->pending = pending;
}

void ts_pass_set_table_pid(ts_pass *p, int pid, int on)
{
    if (!p || pid < 0 || pid >= TS_PID_COUNT)
        return;
    if (!on) {
        p->table_pid[pid >> 3] &= (uint8_t)~(1 << (pid & 7));
        return;
    }
    p->table_pid[pid >> 3] |= (uint8_t)(1 << (pid & 7));
    // Its packets queued so far move over, in their order.
    keep_where(p, [pid](ts_pass *q, const ts_pass_entry *e) {
        if (ts_pid(e->pkt) != pid)
            return true;
        put_table(q, e);
        return false;
    });
}

const uint8_t *ts_pass_table_due(ts_pass *p, int64_t t_out)
{
    if (t_out == TS_TIME_NONE || p->tables_count == 0)
        return nullptr;
    const ts_pass_entry *e = &p->tables[p->tables_head];
    int64_t delay = ts_pass_delay(p);
    if (e->t_in != TS_TIME_NONE && (delay == TS_TIME_NONE || e->t_in + delay > t_out))
        return nullptr;
    return e->pkt;
}

const uint8_t *ts_pass_table_front(const ts_pass *p)
{
    return p->tables_count ? p->tables[p->tables_head].pkt : nullptr;
}

void ts_pass_table_pop(ts_pass *p)
{
    if (p->tables_count == 0)
        return;
    p->tables_head = (p->tables_head + 1) % p->tables_cap;
    p->tables_count--;
    p->stats.packets_out++;
}

void ts_pass_push(ts_pass *p, const uint8_t *pkt, int64_t t_in)
{
    int pid = ts_pid(pkt);
    int64_t seq = p->pushed++;
    if ((p->table_pid[pid >> 3] >> (pid & 7)) & 1) {
        ts_pass_entry e;
        e.t_in = t_in;
        e.seq = seq;
        memcpy(e.pkt, pkt, TS_PACKET_SIZE);
        put_table(p, &e);
        p->stats.packets_in++;
        return;
    }
    if (p->count == p->cap)
        drop_at(p, oldest_droppable(p));
    int64_t delay = ts_pass_delay(p);
    int64_t bound = p->max_wait + (delay != TS_TIME_NONE && delay > 0 ? delay : 0);
    while (p->max_wait > 0 && p->counting && t_in != TS_TIME_NONE && p->count > 0) {
        int i = oldest_droppable(p);
        if (entry(p, i)->t_in == TS_TIME_NONE || t_in - entry(p, i)->t_in <= bound)
            break;
        drop_at(p, i);
    }
    if (t_in != TS_TIME_NONE) {
        for (int i = p->count - p->pending; i < p->count; i++)
            entry(p, i)->t_in = t_in;
        p->pending = 0;
    } else {
        p->pending++;
    }
    ts_pass_entry *e = entry(p, p->count);
    e->t_in = t_in;
    e->seq = seq;
    memcpy(e->pkt, pkt, TS_PACKET_SIZE);
    p->count++;
    p->stats.packets_in++;
}

void ts_pass_keep(ts_pass *p, const uint8_t *keep)
{
    keep_where(p, [keep](ts_pass *, const ts_pass_entry *e) { return keep[ts_pid(e->pkt)] != 0; });
    p->counting = 1;
}

void ts_pass_clear(ts_pass *p)
{
    p->head = 0;
    p->count = 0;
    p->pending = 0;
    p->tables_head = 0;
    p->tables_count = 0;
}

int ts_pass_count(const ts_pass *p)
{
    return p->count;
}

/* ------------------------------------------------------------------------ */
/* Delay */

void ts_pass_set_lead_pid(ts_pass *p, int pid)
{
    p->lead_pid = pid;
}

int ts_pass_lead_pid(const ts_pass *p)
{
    return p->lead_pid;
}

static ts_lead *lead_of(ts_pass *p, int pid)
{
    for (auto &l : p->in)
        if (l.pid == pid || l.pid < 0)
            return &l;
    return nullptr;
}

int64_t ts_pass_delay(const ts_pass *p)
{
    if (p->fixed)
        return p->delay;
    if (p->lead_pid < 0)
        return 0;
    for (const auto &l : p->in)
        if (l.pid == p->lead_pid && l.n > 0 && p->out_n > 0)
            return l.max - p->out_min + TS_PASS_MARGIN;
    return TS_TIME_NONE;
}

/* Keeps the delay once both sides have given enough samples. */
static void settle(ts_pass *p)
{
    for (const auto &l : p->in)
        if (l.pid == p->lead_pid && l.n >= TS_PASS_LEAD_SAMPLES && p->out_n >= TS_PASS_LEAD_SAMPLES) {
            p->delay = ts_pass_delay(p);
            p->fixed = 1;
        }
}

void ts_pass_lead_in(ts_pass *p, int pid, int64_t lead)
{
    ts_lead *l = lead_of(p, pid);
    if (!l || p->fixed)
        return;
    l->pid = pid;
    l->max = l->n && l->max > lead ? l->max : lead;
    l->n++;
    settle(p);
}

void ts_pass_lead_out(ts_pass *p, int64_t lead)
{
    if (p->fixed)
        return;
    p->out_min = p->out_n && p->out_min < lead ? p->out_min : lead;
    p->out_n++;
    settle(p);
}

/* ------------------------------------------------------------------------ */
/* Output side */

const uint8_t *ts_pass_due(ts_pass *p, int64_t t_out)
{
    if (t_out == TS_TIME_NONE || p->count == 0)
        return nullptr;
    p->running = 1;
    ts_pass_entry *e = entry(p, 0);
    if (e->t_in == TS_TIME_NONE)
        return e->pkt;
    int64_t delay = ts_pass_delay(p);
    if (delay == TS_TIME_NONE) {
        if (p->count < p->cap / 2)
            return nullptr;
        delay = t_out - e->t_in;  // the leads do not come: go on from here
        p->fixed = 1;
        p->delay = delay;
        p->stats.resyncs++;
    }
    int64_t due = e->t_in + delay;
    if (due > t_out)
        return nullptr;
    if (t_out - due > TS_PASS_MAX_LATE) {
        p->delay = delay + (t_out - due);
        p->fixed = 1;
        p->stats.resyncs++;
    }
    return e->pkt;
}

int64_t ts_pass_front_time(const ts_pass *p)
{
    return p->count ? entry(p, 0)->t_in : TS_TIME_NONE;
}

const uint8_t *ts_pass_front(const ts_pass *p)
{
    return p->count ? entry(p, 0)->pkt : nullptr;
}

void ts_pass_pop(ts_pass *p)
{
    if (p->count == 0)
        return;
    remove_oldest(p);
    p->stats.packets_out++;
}

int ts_pass_get_stats(const ts_pass *p, ts_pass_stats *stats)
{
    if (!p || !stats)
        return -EINVAL;
    *stats = p->stats;
    return 0;
}
