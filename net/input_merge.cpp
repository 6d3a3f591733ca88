/*
 * Two sources merged packet by packet (see the header).
 *
 * Each path keeps the packets it received for MERGE_KEEP_US in arrival
 * order, numbered; a cursor says how far the stream handed on has gone
 * through them. What was handed on is kept by PID, in order (the last
 * MERGE_PID_RING packets' hashes); each path knows how far along that
 * order its own packets of the PID have come. A path's packet found
 * further along its PID's order is a copy (its bytes alone would not do:
 * packets of a tone or of silence repeat, continuity counter included):
 * dropped; copies of packets that carry times (PCR, a PES start) put the
 * path "in step", its packets usable. Each packet is due MERGE_WINDOW_US
 * after its arrival less its path's lag (the paths' skew, measured on the
 * copies), so that a late path's packets lost on the other go out at their
 * place. The packet taken next is the earliest due among the in-step
 * paths (the active one alone when no path is in step); one whose PID's
 * continuity counter jumps has the packets between taken first from the
 * other path, found after its last packet of that PID in the order.
 */
#include "net/input_merge.h"
#include "net/udp_addr.h"
#include "net/udp_in.h"
#include "common/mpegts.h"
#include "common/utils.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <pthread.h>

#define MERGE_KEEP_US  1000000   // a path's packets are kept this long for the other's losses
#define MERGE_PID_RING 8192      // packets of each PID handed on whose copies are looked for (0.6 s at 20 Mbit/s)
#define MERGE_RING_PIDS 128      // PIDs that get such a ring (the memory of a stream of stray PIDs bounded)
#define MERGE_STEP_US  300000    // a path none of whose packets was taken or copied this long is out of step
#define MERGE_READ_WAIT_US 1000  // each receiver's ring is waited for this long in turn
#define MERGE_READ_SIZE UDP_IN_MAX_DATAGRAM
#define MERGE_FILL_MAX  64       // packets of one PID taken from the other path at one jump

enum { F_PAYLOAD = 1, F_PUSI = 2, F_RAI = 4, F_DISC = 8, F_PCR = 16 };

struct merge_entry {
    int64_t at;       // µs (monotonic) received
    uint64_t hash;
    uint16_t pid;
    uint8_t cc;
    uint8_t flags;
    uint8_t used;     // handed on, or found to be a copy
    int64_t checked;  // its PID's packets handed on it was compared with (none of them a copy of it)
    uint8_t pkt[TS_PACKET_SIZE];
};

/* One receiver's packets and what is known of its stream. */
struct merge_path {
    udp_in *in;
    std::deque<merge_entry> q;
    uint64_t base;            // number of q.front()
    uint64_t cursor;          // number of the first packet not handed on nor passed over
    int64_t *along;           // [TS_PID_COUNT] how many of each PID's packets handed on it has (a copy or its own)
    uint64_t *last_seq;       // [TS_PID_COUNT] number of its latest such packet + 1; 0: none
    int8_t last_cc[TS_PID_COUNT];
    int64_t seen[TS_PID_COUNT];  // µs each PID last came
    int pmt_pid;              // -1: unknown
    int video_pid;            // -1: unknown
    int es[16];               // the programme's video and audio PIDs
    int n_es;
    int64_t since;            // µs the stream began (or came back after a loss): the tables' clocks start there
    int64_t pat_at, pmt_at;
    uint8_t pat_pkt[TS_PACKET_SIZE], pmt_pkt[TS_PACKET_SIZE];
    int64_t cc_at[MERGE_CC_LIMIT + 1];  // the latest continuity errors, a ring (times moved on over silences)
    int cc_next;
    int64_t win_start, win_bytes;
    int64_t step_at;          // µs a packet of it was last taken or found copied; 0: out of step
    int64_t lag;              // µs its packets come after the other path's copies (0 to MERGE_WINDOW_US)
    merge_health h;           // the merge thread's; published under the lock
};

struct merge_in {
    merge_path path[MERGE_INPUTS];
    udp_in *out;
    int64_t loss_us, hold_us;
    int revert, program;
    const std::atomic<int> *stop_flag;
    std::atomic<int> quit;
    void (*on_switch)(void *, const merge_switch *);
    void (*on_health)(void *, int, const merge_health *, const merge_counts *);
    void *opaque;
    int64_t reported;
    pthread_t thread;
    int64_t created;
    int active;
    int cut_to;               // -1, or the input a cut waits to take at its key frame
    int64_t cut_since;
    int64_t main_clean_since; // µs the main became healthy; 0: it is not
    /* What was handed on. */
    int64_t *sent_count;      // [TS_PID_COUNT] packets of each PID handed on
    uint64_t *sent_hash[TS_PID_COUNT];  // [MERGE_PID_RING] their hashes, the latest; allocated at a PID's first
    int64_t *sent_at[TS_PID_COUNT];     // [MERGE_PID_RING] their arrival, and the path, in bit 0
    int64_t skew;             // µs the backup's packets come after the main's copies (smoothed; < 0: before)
    int rings;                // PIDs with a ring
    int8_t out_cc[TS_PID_COUNT];
    uint8_t batch[TS_PACKET_SIZE * 7];
    int batch_len;
    merge_counts counts;      // the thread's; published under the lock
    std::mutex lock;
    merge_health pub[MERGE_INPUTS];
    merge_counts pub_counts;
    std::atomic<int> pub_active;
    std::atomic<int> pub_switching;
};

static const char *const input_names[MERGE_INPUTS] = {"main", "backup"};
static const char *const state_names[MERGE_STATE_COUNT] = {"unseen", "up", "lost", "errored"};
static const char *const why_names[MERGE_WHY_COUNT] = {"none", "lost", "continuity", "pat", "pmt", "pid",
                                                       "failback"};

const char *merge_input_name(int input)
{
    return input >= 0 && input < MERGE_INPUTS ? input_names[input] : "unknown";
}

const char *merge_state_name(int state)
{
    return state >= 0 && state < MERGE_STATE_COUNT ? state_names[state] : "unknown";
}

const char *merge_why_name(int why)
{
    return why >= 0 && why < MERGE_WHY_COUNT ? why_names[why] : "unknown";
}

static int64_t now_us(void)
{
    return udp_now_ns() / 1000;
}

/* FNV-1a over the packet's bytes. */
static uint64_t packet_hash(const uint8_t *p)
{
    uint64_t h = 1469598103934665603ull;
    for (int i = 0; i < TS_PACKET_SIZE; i++)
        h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

/* Where a packet's payload starts; TS_PACKET_SIZE without one. */
static int payload_at(const uint8_t *p)
{
    int off = 4;
    if (p[3] & 0x20)
        off += 1 + p[4];
    return (p[3] & 0x10) && off < TS_PACKET_SIZE ? off : TS_PACKET_SIZE;
}

/* The section a unit-start packet begins, if all of it is in the packet: its start, and *len its length. */
static const uint8_t *whole_section(const uint8_t *p, int *len)
{
    int off = payload_at(p);
    if (off >= TS_PACKET_SIZE - 1)
        return nullptr;
    off += 1 + p[off];
    if (off + 3 > TS_PACKET_SIZE)
        return nullptr;
    const uint8_t *s = p + off;
    *len = 3 + (((s[1] & 0x0f) << 8) | s[2]);
    return off + *len <= TS_PACKET_SIZE && *len >= 12 ? s : nullptr;
}

static void read_pat(merge_in *m, merge_path *p, const uint8_t *pkt)
{
    int len;
    const uint8_t *s = whole_section(pkt, &len);
    if (!s || s[0] != 0x00)
        return;
    for (int i = 8; i + 4 <= len - 4; i += 4) {
        int prog = (s[i] << 8) | s[i + 1], pid = ((s[i + 2] & 0x1f) << 8) | s[i + 3];
        if (prog != 0 && (m->program == 0 || prog == m->program)) {
            p->pmt_pid = pid;
            return;
        }
    }
}

static bool video_type(int t)
{
    return t == 0x01 || t == 0x02 || t == 0x10 || t == 0x1b || t == 0x24;
}

static bool audio_type(int t)
{
    return t == 0x03 || t == 0x04 || t == 0x0f || t == 0x11 || t == 0x81 || t == 0x87;
}

static void read_pmt(merge_path *p, const uint8_t *pkt)
{
    int len;
    const uint8_t *s = whole_section(pkt, &len);
    if (!s || s[0] != 0x02)
        return;
    int i = 12 + (((s[10] & 0x0f) << 8) | s[11]);
    p->n_es = 0;
    p->video_pid = -1;
    while (i + 5 <= len - 4) {
        int type = s[i], pid = ((s[i + 1] & 0x1f) << 8) | s[i + 2];
        if (video_type(type) && p->video_pid < 0)
            p->video_pid = pid;
        if ((video_type(type) || audio_type(type)) && p->n_es < 16)
            p->es[p->n_es++] = pid;
        i += 5 + (((s[i + 3] & 0x0f) << 8) | s[i + 4]);
    }
}

/* A packet received: its place in the path, and what it says of the input's health. */
static void take_packet(merge_in *m, merge_path *p, const uint8_t *pkt, int64_t now)
{
    merge_health &h = p->h;
    int pid = ((pkt[1] & 0x1f) << 8) | pkt[2];
    h.packets++;
    h.bytes += TS_PACKET_SIZE;
    p->win_bytes += TS_PACKET_SIZE;
    if (h.last_packet_us == 0 || now - h.last_packet_us > m->loss_us)
        p->since = now;  // the first packet, or the first after a loss
    /*
     * The continuity errors are counted over the time the input flows: a
     * silence does not age them, so that an input that was errored when it
     * went silent is still errored when it comes back, until it has flowed
     * without them (else it would be usable for its first instants back,
     * before its errors show again).
     */
    if (h.last_packet_us && now - h.last_packet_us > MERGE_GAP_US)
        for (int64_t &at : p->cc_at)
            at = at ? at + (now - h.last_packet_us) : 0;
    h.last_packet_us = now;
    if (pid == TS_NULL_PID)
        return;
    merge_entry e;
    e.at = now;
    e.pid = (uint16_t)pid;
    e.cc = pkt[3] & 0x0f;
    bool af = (pkt[3] & 0x20) && pkt[4] > 0;
    e.flags = (uint8_t)(((pkt[3] & 0x10) ? F_PAYLOAD : 0) | ((pkt[1] & 0x40) ? F_PUSI : 0) |
                        (af && (pkt[5] & 0x40) ? F_RAI : 0) | (af && (pkt[5] & 0x80) ? F_DISC : 0) |
                        (af && pkt[4] >= 7 && (pkt[5] & 0x10) ? F_PCR : 0));
    memcpy(e.pkt, pkt, TS_PACKET_SIZE);
    e.hash = packet_hash(pkt);
    if (e.flags & F_PAYLOAD) {
        int last = p->last_cc[pid];
        if (last >= 0 && !(e.flags & F_DISC) && e.cc != ((last + 1) & 15) && e.cc != last) {
            h.cc_errors++;
            p->cc_at[p->cc_next] = now;
            p->cc_next = (p->cc_next + 1) % (MERGE_CC_LIMIT + 1);
        }
        p->last_cc[pid] = (int8_t)e.cc;
    }
    p->seen[pid] = now;
    if (pid == 0 && (e.flags & F_PUSI)) {
        read_pat(m, p, pkt);
        p->pat_at = now;
        memcpy(p->pat_pkt, pkt, TS_PACKET_SIZE);
    } else if (pid == p->pmt_pid && (e.flags & F_PUSI)) {
        read_pmt(p, pkt);
        p->pmt_at = now;
        memcpy(p->pmt_pkt, pkt, TS_PACKET_SIZE);
    }
    e.used = 0;
    e.checked = 0;
    p->q.push_back(e);
}

/* What the receiver has, in whole packets, each with the time its datagram came. */
static void read_path(merge_in *m, merge_path *p, uint8_t *buf)
{
    int64_t at_ns;
    for (int k = 0; k < 64; k++) {
        int n = udp_in_take(p->in, buf, UDP_IN_MAX_DATAGRAM, k == 0 ? MERGE_READ_WAIT_US : 0, &at_ns);
        if (n <= 0)
            return;
        int64_t at = at_ns / 1000;
        for (int i = 0; i + TS_PACKET_SIZE <= n;) {
            if (buf[i] != TS_SYNC_BYTE) {
                i++;
                continue;
            }
            take_packet(m, p, buf + i, at);
            i += TS_PACKET_SIZE;
        }
    }
}

/* ------------------------------------------------------------------------ */
/* Health. */

/* The errors of a stream that flows (last: its latest packet): tables and PIDs missing while packets come. */
static int errors_now(const merge_path *p, int64_t now)
{
    int64_t last = p->h.last_packet_us;
    int recent = 0;
    for (int64_t at : p->cc_at)
        recent += at && now - at <= 1000000;
    if (recent > MERGE_CC_LIMIT)
        return MERGE_WHY_CONTINUITY;
    int64_t pat = p->pat_at > p->since ? p->pat_at : p->since;
    if (last - pat > MERGE_TABLE_US)
        return MERGE_WHY_PAT;
    int64_t pmt = p->pmt_at > p->since ? p->pmt_at : p->since;
    if (last - pmt > MERGE_TABLE_US)
        return MERGE_WHY_PMT;
    for (int i = 0; i < p->n_es; i++) {
        int64_t seen = p->seen[p->es[i]] > p->since ? p->seen[p->es[i]] : p->since;
        if (last - seen > MERGE_PID_US)
            return MERGE_WHY_PID;
    }
    return MERGE_WHY_NONE;
}

static void assess(merge_in *m, merge_path *p, int64_t now)
{
    merge_health &h = p->h;
    int state = MERGE_UP, why = MERGE_WHY_NONE;
    if (!h.last_packet_us) {
        state = MERGE_UNSEEN;
        why = now - m->created > m->loss_us ? MERGE_WHY_LOST : MERGE_WHY_NONE;
    } else if (now - h.last_packet_us > m->loss_us) {
        state = MERGE_LOST;
        why = MERGE_WHY_LOST;
    } else if ((why = errors_now(p, now)) != MERGE_WHY_NONE) {
        state = MERGE_ERRORED;
        if (why != h.why) {
            h.pat_errors += why == MERGE_WHY_PAT;
            h.pmt_errors += why == MERGE_WHY_PMT;
            h.pid_errors += why == MERGE_WHY_PID;
        }
    }
    h.state = state;
    h.why = why;
    if (!p->win_start)
        p->win_start = now;
    if (now - p->win_start >= 1000000) {
        h.bitrate = p->win_bytes * 8 * 1000000 / (now - p->win_start);
        p->win_start = now;
        p->win_bytes = 0;
    } else if (h.last_packet_us && now - h.last_packet_us > 2000000) {
        h.bitrate = 0;
    }
}

/* When a path's packet is due on the stream handed on: its arrival less the path's lag, and the window. */
static int64_t due_at(const merge_path *p, const merge_entry *e)
{
    return e->at - p->lag + MERGE_WINDOW_US;
}

static bool in_step(const merge_path *p, int64_t now)
{
    return p->step_at && now - p->step_at <= MERGE_STEP_US;
}

/*
 * Whether an input may be switched to, or counts as clean for the failback:
 * up, and heard from within a quarter of the loss threshold. Two paths that
 * fall silent together are declared lost one after the other; without the
 * recency the second, silent as long as the first but for a moment less,
 * was switched to.
 */
static bool healthy(const merge_in *m, int i, int64_t now)
{
    const merge_health &h = m->path[i].h;
    return h.state == MERGE_UP && h.last_packet_us && now - h.last_packet_us <= m->loss_us / 4;
}

static void switch_to(merge_in *m, int to, int why, int64_t now)
{
    merge_path *p = &m->path[to];
    merge_switch sw = {to, why, in_step(p, now) ? 1 : 0, now};
    m->active = to;
    m->counts.switches++;
    if (!sw.hitless) {
        /* Cut at its next key frame: its packets from now on are looked at. */
        m->cut_to = to;
        m->cut_since = now;
        while (p->cursor < p->base + p->q.size() && due_at(p, &p->q[p->cursor - p->base]) < now)
            p->cursor++;
    } else {
        m->cut_to = -1;
    }
    if (m->on_switch) {
        try {
            m->on_switch(m->opaque, &sw);
        } catch (...) {
        }
    }
}

static void decide(merge_in *m, int64_t now)
{
    int a = m->active, b = 1 - a;
    if (healthy(m, MERGE_MAIN, now)) {
        if (!m->main_clean_since)
            m->main_clean_since = now;
    } else {
        m->main_clean_since = 0;
    }
    const merge_health &ha = m->path[a].h;
    bool failed = ha.state == MERGE_LOST || ha.state == MERGE_ERRORED || (ha.state == MERGE_UNSEEN && ha.why);
    if (failed && healthy(m, b, now))
        switch_to(m, b, ha.why, now);
    else if (a == MERGE_BACKUP && m->revert && m->main_clean_since && now - m->main_clean_since >= m->hold_us)
        switch_to(m, MERGE_MAIN, MERGE_WHY_FAILBACK, now);
}

/* ------------------------------------------------------------------------ */
/* Handing on. */

static void flush(merge_in *m)
{
    if (m->batch_len)
        udp_in_push(m->out, m->batch, m->batch_len, udp_now_ns());
    m->batch_len = 0;
}

static void put(merge_in *m, const merge_path *from, const merge_entry *e, const uint8_t *pkt)
{
    memcpy(m->batch + m->batch_len, pkt, TS_PACKET_SIZE);
    m->batch_len += TS_PACKET_SIZE;
    if (m->batch_len == (int)sizeof(m->batch))
        flush(m);
    int pid = e->pid;
    if (!m->sent_hash[pid] && m->rings >= MERGE_RING_PIDS) {
        m->sent_count[pid]++;  // no copy of it is known: the other path's come out of step
        return;
    }
    if (!m->sent_hash[pid]) {
        m->sent_hash[pid] = new uint64_t[MERGE_PID_RING];  // a bad_alloc ends the merge's thread
        m->sent_at[pid] = new int64_t[MERGE_PID_RING];
        m->rings++;
    }
    m->sent_hash[pid][m->sent_count[pid] % MERGE_PID_RING] = e->hash;
    m->sent_at[pid][m->sent_count[pid] % MERGE_PID_RING] = (e->at << 1) | (from == &m->path[MERGE_BACKUP]);
    m->sent_count[pid]++;
    if (e->flags & F_PAYLOAD)
        m->out_cc[pid] = (int8_t)e->cc;
}

/* A path's packet number seq handed on: the path has its PID's order up to it. */
static void mark_taken(merge_in *m, merge_path *p, uint64_t seq)
{
    merge_entry &e = p->q[seq - p->base];
    e.used = 1;
    int64_t at = m->sent_count[e.pid] - 1;  // its place in the PID's order
    if (p == &m->path[m->active] && p->along[e.pid] && at > p->along[e.pid])
        m->counts.repaired += at - p->along[e.pid];  // the active input lost them: the other's went out
    p->along[e.pid] = m->sent_count[e.pid];
    p->last_seq[e.pid] = seq + 1;
}

/*
 * Whether a path's packet is a copy of one handed on: used already, or
 * found in its PID's order after the path's last one (then marked so).
 */
static bool is_copy(merge_in *m, merge_path *p, uint64_t seq)
{
    merge_entry &e = p->q[seq - p->base];
    if (e.used)
        return true;
    int pid = e.pid;
    if (!m->sent_hash[pid])
        return false;
    int64_t from = p->along[pid] > e.checked ? p->along[pid] : e.checked, to = m->sent_count[pid];
    if (from < to - MERGE_PID_RING)
        from = to - MERGE_PID_RING;
    e.checked = to;
    for (int64_t j = from; j < to; j++) {
        if (m->sent_hash[pid][j % MERGE_PID_RING] != e.hash)
            continue;
        if (p == &m->path[m->active] && p->along[pid] && j > p->along[pid])
            m->counts.repaired += j - p->along[pid];  // the active input lost them: the other's went out
        e.used = 1;
        p->along[pid] = j + 1;
        p->last_seq[pid] = seq + 1;
        /*
         * How much later the backup's packets come than the main's: the late
         * path's packets lost on the other are due at their place in the stream.
         */
        int64_t orig = m->sent_at[pid][j % MERGE_PID_RING];
        int from_backup = (int)(orig & 1), is_backup = p == &m->path[MERGE_BACKUP];
        if (from_backup != is_backup) {
            int64_t skew = is_backup ? e.at - (orig >> 1) : (orig >> 1) - e.at;
            if (skew > -MERGE_WINDOW_US && skew < MERGE_WINDOW_US) {
                m->skew += (skew - m->skew) / 16;
                m->path[MERGE_BACKUP].lag = m->skew > 0 ? m->skew : 0;
                m->path[MERGE_MAIN].lag = m->skew < 0 ? -m->skew : 0;
            }
        }
        return true;
    }
    return false;
}

/*
 * Before e: the packets of its PID that its path lost (its continuity
 * counter jumps), from the other path, after that path's last packet of
 * the PID in the order, up to its copy of e.
 */
static void fill_gap(merge_in *m, int from, const merge_entry *e)
{
    int pid = e->pid, last = m->out_cc[pid];
    if (!(e->flags & F_PAYLOAD) || last < 0 || e->cc == ((last + 1) & 15) || e->cc == last || (e->flags & F_DISC))
        return;
    merge_path *y = &m->path[1 - from];
    if (!y->last_seq[pid])
        return;
    int filled = 0;
    uint64_t s = y->last_seq[pid] > y->base ? y->last_seq[pid] : y->base;
    for (; s < y->base + y->q.size() && filled < MERGE_FILL_MAX; s++) {
        const merge_entry &f = y->q[s - y->base];
        if (f.pid != pid || is_copy(m, y, s))
            continue;
        if (f.hash == e->hash)
            break;
        put(m, y, &f, f.pkt);
        mark_taken(m, y, s);
        filled++;
    }
}

/*
 * Passes over the path's packets already handed on from the other path. Its
 * copies of packets that carry the stream's times put it in step: a PCR, or
 * the start of a picture's PES (its PTS). Tables alike on both paths say
 * nothing (another encoder's may be the same to the byte), nor do the rest
 * of a PES (the same pictures or sound encoded alike on another clock); a
 * programme without video counts its first audio PID's PES starts.
 */
static void pass_copies(merge_in *m, merge_path *p, int64_t now)
{
    while (p->cursor < p->base + p->q.size() && is_copy(m, p, p->cursor)) {
        const merge_entry &e = p->q[p->cursor - p->base];
        int timed = p->video_pid >= 0 ? p->video_pid : p->n_es > 0 ? p->es[0] : -1;
        if ((e.flags & F_PCR) || (e.pid == timed && (e.flags & F_PUSI)))
            p->step_at = now;
        p->cursor++;
        m->counts.duplicates++;
    }
}

/* The cut to another stream, once its key frame is due (or the wait is over). */
static void try_cut(merge_in *m, int64_t now)
{
    merge_path *p = &m->path[m->cut_to];
    bool late = now - m->cut_since > MERGE_KEY_WAIT_US;
    while (p->cursor < p->base + p->q.size()) {
        const merge_entry &e = p->q[p->cursor - p->base];
        bool key = p->video_pid < 0 || late ||
                   (e.pid == p->video_pid && (e.flags & F_PUSI) && (e.flags & F_RAI));
        if (!key) {
            p->cursor++;
            continue;
        }
        if (due_at(p, &e) > now)
            return;
        /* Another stream: nothing of the old one's order holds. */
        memset(m->out_cc, -1, sizeof(m->out_cc));
        memset(m->sent_count, 0, sizeof(int64_t) * TS_PID_COUNT);
        for (merge_path &o : m->path) {
            memset(o.along, 0, sizeof(int64_t) * TS_PID_COUNT);
            memset(o.last_seq, 0, sizeof(uint64_t) * TS_PID_COUNT);
            for (merge_entry &q : o.q)
                q.checked = 0;
        }
        merge_entry table = e;
        if (p->pat_at) {
            memcpy(table.pkt, p->pat_pkt, TS_PACKET_SIZE);
            table.pid = 0;
            table.hash = packet_hash(table.pkt);
            put(m, p, &table, table.pkt);
        }
        if (p->pmt_at) {
            memcpy(table.pkt, p->pmt_pkt, TS_PACKET_SIZE);
            table.pid = (uint16_t)p->pmt_pid;
            table.hash = packet_hash(table.pkt);
            put(m, p, &table, table.pkt);
        }
        uint8_t pkt[TS_PACKET_SIZE];
        memcpy(pkt, e.pkt, TS_PACKET_SIZE);
        if ((pkt[3] & 0x20) && pkt[4] > 0)
            pkt[5] |= 0x80;  // discontinuity_indicator: a new time line begins here
        put(m, p, &e, pkt);
        mark_taken(m, p, p->cursor);
        p->cursor++;
        for (merge_path &o : m->path)
            o.step_at = 0;
        p->step_at = now;
        m->cut_to = -1;
        m->counts.cuts++;
        return;
    }
}

static void hand_on(merge_in *m, int64_t now)
{
    for (;;) {
        for (merge_path &p : m->path)
            pass_copies(m, &p, now);
        if (m->cut_to >= 0)
            try_cut(m, now);
        /* In-step paths: the active one, and the other while it is healthy (an ailing standby feeds nothing). */
        bool step[MERGE_INPUTS], any_in_step = false;
        for (int i = 0; i < MERGE_INPUTS; i++) {
            step[i] = i != m->cut_to && in_step(&m->path[i], now) &&
                      (i == m->active || m->path[i].h.state == MERGE_UP);
            any_in_step |= step[i];
        }
        int best = -1;
        int64_t best_at = 0;
        for (int i = 0; i < MERGE_INPUTS; i++) {
            merge_path *p = &m->path[i];
            bool usable = i == m->cut_to ? false : any_in_step ? step[i] : i == m->active;
            if (!usable || p->cursor >= p->base + p->q.size())
                continue;
            int64_t at = due_at(p, &p->q[p->cursor - p->base]);
            if (at <= now && (best < 0 || at < best_at)) {
                best = i;
                best_at = at;
            }
        }
        if (best < 0)
            return;
        merge_path *p = &m->path[best];
        const merge_entry &e = p->q[p->cursor - p->base];
        fill_gap(m, best, &e);
        put(m, p, &e, e.pkt);
        mark_taken(m, p, p->cursor);
        p->cursor++;
        p->step_at = now;
    }
}

static void expire(merge_in *m, int64_t now)
{
    for (merge_path &p : m->path) {
        while (!p.q.empty() && now - p.q.front().at > MERGE_KEEP_US) {
            p.q.pop_front();
            p.base++;
        }
        if (p.cursor < p.base)
            p.cursor = p.base;
    }
}

static void publish(merge_in *m, int64_t now)
{
    {
        std::lock_guard<std::mutex> g(m->lock);
        for (int i = 0; i < MERGE_INPUTS; i++)
            m->pub[i] = m->path[i].h;
        m->pub_counts = m->counts;
        m->pub_active.store(m->active);
        const merge_path &a = m->path[m->active], &b = m->path[1 - m->active];
        bool silent = !a.h.last_packet_us || now - a.h.last_packet_us > MERGE_SILENT_US;
        m->pub_switching.store(m->cut_to >= 0 || (silent && b.h.state == MERGE_UP));
    }
    if (!m->on_health || now - m->reported < MERGE_REPORT_US)
        return;
    m->reported = now;
    merge_health h[MERGE_INPUTS] = {m->path[0].h, m->path[1].h};
    try {
        m->on_health(m->opaque, m->active, h, &m->counts);
    } catch (...) {
    }
}

static bool stopping(const merge_in *m)
{
    return m->quit.load() || (m->stop_flag && m->stop_flag->load() != 0);
}

static void *merge_thread(void *arg)
{
    utils_name_thread("merge-in");
    merge_in *m = (merge_in *)arg;
    uint8_t *buf = new (std::nothrow) uint8_t[MERGE_READ_SIZE];
    if (!buf)
        return nullptr;
    try {
        int64_t decided = 0;
        while (!stopping(m)) {
            for (merge_path &p : m->path)
                read_path(m, &p, buf);
            int64_t now = now_us();
            if (now - decided >= 10000) {
                for (merge_path &p : m->path)
                    assess(m, &p, now);
                decide(m, now);
                publish(m, now);
                decided = now;
            }
            hand_on(m, now);
            flush(m);
            expire(m, now);
        }
    } catch (...) {
        /* Out of memory in a container: the merge stops, the session sees its input lost. */
    }
    delete[] buf;
    return nullptr;
}

static void free_merge(merge_in *m)
{
    delete[] m->sent_count;
    for (uint64_t *h : m->sent_hash)
        delete[] h;
    for (int64_t *a : m->sent_at)
        delete[] a;
    for (merge_path &p : m->path) {
        delete[] p.along;
        delete[] p.last_seq;
    }
    delete m;
}

int merge_create(merge_in **out, const merge_config *c)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!c || !c->inputs[MERGE_MAIN] || !c->inputs[MERGE_BACKUP] || !c->out || c->loss_us <= 0 || c->hold_us < 0)
        return -EINVAL;
    merge_in *m = new (std::nothrow) merge_in();
    if (!m)
        return -ENOMEM;
    m->out = c->out;
    m->loss_us = c->loss_us;
    m->hold_us = c->hold_us;
    m->revert = c->revert;
    m->program = c->program;
    m->stop_flag = c->stop_flag;
    m->on_switch = c->on_switch;
    m->on_health = c->on_health;
    m->opaque = c->opaque;
    m->created = now_us();
    m->active = MERGE_MAIN;
    m->cut_to = -1;
    memset(m->out_cc, -1, sizeof(m->out_cc));
    m->sent_count = new (std::nothrow) int64_t[TS_PID_COUNT]();
    bool ok = m->sent_count;
    for (merge_path &p : m->path) {
        p.along = new (std::nothrow) int64_t[TS_PID_COUNT]();
        p.last_seq = new (std::nothrow) uint64_t[TS_PID_COUNT]();
        ok = ok && p.along && p.last_seq;
    }
    if (!ok) {
        free_merge(m);
        return -ENOMEM;
    }
    for (int i = 0; i < MERGE_INPUTS; i++) {
        merge_path &p = m->path[i];
        p.in = c->inputs[i];
        memset(p.last_cc, -1, sizeof(p.last_cc));
        p.pmt_pid = p.video_pid = -1;
    }
    int ret = -pthread_create(&m->thread, nullptr, merge_thread, m);
    if (ret < 0) {
        free_merge(m);
        return ret;
    }
    *out = m;
    return 0;
}

int merge_active(merge_in *m)
{
    return m ? m->pub_active.load() : MERGE_MAIN;
}

int merge_switching(merge_in *m)
{
    return m ? m->pub_switching.load() : 0;
}

int merge_health_of(merge_in *m, int input, merge_health *out)
{
    if (!m || !out || input < 0 || input >= MERGE_INPUTS)
        return -EINVAL;
    std::lock_guard<std::mutex> g(m->lock);
    *out = m->pub[input];
    return 0;
}

int merge_get_counts(merge_in *m, merge_counts *out)
{
    if (!m || !out)
        return -EINVAL;
    std::lock_guard<std::mutex> g(m->lock);
    *out = m->pub_counts;
    return 0;
}

void merge_destroy(merge_in **p)
{
    if (!p || !*p)
        return;
    merge_in *m = *p;
    *p = nullptr;
    m->quit.store(1);
    pthread_join(m->thread, nullptr);
    free_merge(m);
}
