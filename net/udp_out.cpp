/*
 * Paced UDP output: PCR-timed datagrams, a fixed ring, one sender thread.
 *
 * Ring indices only grow (64-bit, they hold far more than a year):
 *   head <= published <= filled <= head + capacity
 * [head, published) wait for the sender, which owns them while it sends;
 * [published, filled) are complete but not yet timed (their following PCR
 * has not arrived); slot filled is being filled by the writer when
 * cur_count > 0. The writer alone moves published and filled, the sender
 * alone moves head; both under the lock.
 */
#include "net/udp_out.h"
#include "net/udp_addr.h"
#include "common/mpegts.h"
#include "common/utils.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#define DATAGRAM_TS      (TS_PACKET_SIZE * UDP_OUT_TS_PER_DATAGRAM)
#define SLOT_DATA        (UDP_OUT_RTP_HEADER + DATAGRAM_TS)
#define RING_MIN_SLOTS   16
#define SEND_BATCH       16                  // datagrams per sendmmsg at most
#define SEND_WINDOW_NS   1000000             // due within this of now: sent in the same batch
#define LATE_NS          1000000
#define PCR_MAX_GAP      ((int64_t)27000000) // 1 s: a longer step is a discontinuity
#define UNTIMED_MAX_NS   100000000           // data this far past the last PCR is sent at its rate
#define FOLLOW_SWITCH_PCRS 5                 // PCRs of another PID while the followed one has none: it is followed
#define SLEW_WINDOW_NS   1000000000
#define SLEW_MAX_NS      500000              // per window, towards less lead
#define SLEW_STEP_NS     10000000            // a window's every PCR late by more than this: stepped back
#define WRITER_WAIT_NS   50000000            // the writer re-checks the stop flag this often
#define RTP_PT_MP2T      33

const int64_t udp_out_late_bounds_us[UDP_OUT_LATE_BUCKETS] = {1000,  2000,   5000,   10000,  20000,
                                                               50000, 100000, 200000, 500000, 1000000};

const char *udp_out_error_name(int cause)
{
    static const char *const names[UDP_OUT_ERR_COUNT] = {"refused", "buffer_full", "unreachable", "denied", "other"};
    return cause >= 0 && cause < UDP_OUT_ERR_COUNT ? names[cause] : nullptr;
}

int udp_out_error_of(int err)
{
    switch (err) {
    case ECONNREFUSED:
        return UDP_OUT_ERR_REFUSED;
    case ENOBUFS:
    case EAGAIN:
        return UDP_OUT_ERR_FULL;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return UDP_OUT_ERR_UNREACHABLE;
    case EPERM:
    case EACCES:
        return UDP_OUT_ERR_DENIED;
    default:
        return UDP_OUT_ERR_OTHER;
    }
}

static int late_bucket(int64_t late_us)
{
    int i = 0;
    while (i < UDP_OUT_LATE_BUCKETS && late_us > udp_out_late_bounds_us[i])
        i++;
    return i;
}

struct udp_slot {
    int64_t pos;     // stream byte offset of the first TS byte
    int64_t due;     // monotonic ns
    int len;         // bytes to send from data + start
    int start;       // 0 with RTP, else UDP_OUT_RTP_HEADER
    uint8_t data[SLOT_DATA];
};

enum mark_state { MARK_FREE = 0, MARK_WATCHED, MARK_QUEUED, MARK_SENT };

struct udp_mark {
    int state;       // mark_state; under the lock
    int64_t pts;     // modulo 2^33
    uint64_t slot;   // QUEUED: the ring index of the datagram holding the PES start
    int64_t wall_ms; // SENT
    uint64_t order;  // when asked: the oldest goes when all are taken
};

struct pcr_point {
    int64_t pos;     // byte offset of the packet carrying it
    int64_t pcr;     // 27 MHz, unwrapped
    int64_t t;       // monotonic ns at which that byte is due
};

struct udp_out {
    int fd;                    // -1 with a send hook
    int (*send)(void *opaque, const uint8_t *data, int len);
    void *send_opaque;
    int rtp;
    int64_t delay_ns;
    int64_t max_lead_ns;
    const std::atomic<int> *stop_flag;
    udp_out_report_fn on_sent;
    void *on_sent_opaque;

    udp_slot *slots;
    uint64_t capacity;
    pthread_mutex_t lock;
    pthread_cond_t wake_sender;
    pthread_cond_t wake_writer;
    uint64_t head;
    uint64_t published;
    uint64_t filled;
    int closing;
    int64_t drain_deadline;
    int64_t sender_wake;       // when the sleeping sender wakes by itself; INT64_MAX: not before a signal
    int64_t first_sent;        // monotonic ns of the first batch sent; 0 before (the sender's)
    pthread_t thread;
    udp_out_stats stats;       // under the lock
    udp_mark marks[UDP_OUT_MARKS];  // under the lock
    uint64_t marks_asked;
    std::atomic<int> watched;    // marks in MARK_WATCHED: the writer looks at PES headers
    std::atomic<int> queued;      // marks in MARK_QUEUED: the sender looks at them

    // Writer only.
    bool drained;              // the sender thread is gone: what is written now is dropped
    int cur_count;             // TS packets in slot `filled`
    ts_gather gather;          // the writes into whole packets
    int64_t byte_pos;
    int pcr_pid;               // -1 until the first PCR
    int other_pid;             // another PID that carries PCRs, and how many it carried since the followed
    int other_count;           // one's last: the schedule follows it once the followed one falls silent
    bool new_clock;            // the PID followed changed: its next PCR restarts the schedule
    int64_t last_raw;
    int points;
    pcr_point prev;
    pcr_point last;
    int64_t anchor_t;
    int64_t anchor_pcr;
    int64_t window_start;
    int64_t window_min_lead;
    int64_t window_max_lead;
    uint16_t rtp_seq;
    uint32_t rtp_ssrc;
};

int64_t udp_out_pcr_to_ns(int64_t ticks)
{
    return ticks / 27 * 1000 + ticks % 27 * 1000 / 27;
}

static int64_t interpolate(int64_t a, int64_t b, int64_t num, int64_t den)
{
    return a + (int64_t)((__int128)(b - a) * num / den);
}

static udp_slot *slot_at(udp_out *o, uint64_t i)
{
    return &o->slots[i % o->capacity];
}

static bool stopping(const udp_out *o)
{
    return o->stop_flag && o->stop_flag->load() != 0;
}

/* ------------------------------------------------------------------------ */
/* Writer: timing from the PCRs. */

/* Due time and clock value of a byte offset, from the PCR points known so far. */
static void time_of(udp_out *o, int64_t pos, int64_t now, int64_t *t, int64_t *pcr)
{
    if (o->points == 0) {
        *t = now + o->delay_ns;
        *pcr = -1;
        return;
    }
    const pcr_point *a = &o->prev, *b = &o->last;
    if (o->points == 1 || b->pos == a->pos || pos < a->pos) {
        *t = o->points == 1 || pos >= a->pos ? b->t : a->t;
        *pcr = o->points == 1 || pos >= a->pos ? b->pcr : a->pcr;
        return;
    }
    // Between the two, or past the last one at the same rate.
    *t = interpolate(a->t, b->t, pos - a->pos, b->pos - a->pos);
    *pcr = interpolate(a->pcr, b->pcr, pos - a->pos, b->pos - a->pos);
}

static void put_be(uint8_t *p, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; i--, v >>= 8)
        p[i] = (uint8_t)v;
}

/*
 * Times the complete slots up to the last PCR (all of them when force) and
 * hands them to the sender.
 */
static void publish(udp_out *o, bool force)
{
    int64_t now = udp_now_ns();
    uint64_t i = o->published;
    for (; i < o->filled; i++) {
        udp_slot *s = slot_at(o, i);
        if (!force && (o->points == 0 || s->pos > o->last.pos))
            break;
        int64_t pcr;
        time_of(o, s->pos, now, &s->due, &pcr);
        if (o->rtp) {
            uint8_t *h = s->data;
            uint32_t ts = pcr >= 0 ? (uint32_t)(pcr / 300) : (uint32_t)(s->due / 100000 * 9);
            h[0] = 0x80;
            h[1] = RTP_PT_MP2T;
            put_be(h + 2, o->rtp_seq++, 2);
            put_be(h + 4, ts, 4);
            put_be(h + 8, o->rtp_ssrc, 4);
        }
    }
    if (i == o->published)
        return;
    int64_t first_due = slot_at(o, o->published)->due;
    pthread_mutex_lock(&o->lock);
    o->published = i;
    // Wake the sender only when it would sleep past the new due time.
    if (first_due < o->sender_wake)
        pthread_cond_signal(&o->wake_sender);
    pthread_mutex_unlock(&o->lock);
}

/* Starts a new window of lead measurements at now. */
static void restart_window(udp_out *o, int64_t now)
{
    o->window_start = now;
    o->window_min_lead = INT64_MAX;
    o->window_max_lead = INT64_MIN;
}

/*
 * Keeps the delay for the latest data, judged once a window from the lead
 * of each PCR (its due time less now). Data that comes late now and then
 * (the writer was held up for a moment) is sent at once and the schedule
 * stays: the output is back on its PCRs as soon as the writer has caught
 * up. A schedule that let every PCR of a window come late is stepped back;
 * one with more lead than needed is slewed forward slowly, so that the
 * output's rate hardly changes.
 */
static void judge_lead(udp_out *o, int64_t now, int64_t lead)
{
    if (lead < o->window_min_lead)
        o->window_min_lead = lead;
    if (lead > o->window_max_lead)
        o->window_max_lead = lead;
    if (now - o->window_start < SLEW_WINDOW_NS)
        return;
    int64_t err = o->window_min_lead - o->delay_ns;
    if (o->window_max_lead < -SLEW_STEP_NS) {
        int64_t step = o->delay_ns - o->window_max_lead;  // what comes next waits this long: a pause on the wire
        o->anchor_t += step;
        pthread_mutex_lock(&o->lock);
        o->stats.steps_back++;
        if (step / 1000 > o->stats.max_step_back_us)
            o->stats.max_step_back_us = step / 1000;
        pthread_mutex_unlock(&o->lock);
    } else if (err > 0)
        o->anchor_t -= err > SLEW_MAX_NS ? SLEW_MAX_NS : err;
    restart_window(o, now);
}

/* A new PCR of the followed PID at byte offset pos. */
static void take_pcr(udp_out *o, int64_t pos, int64_t raw)
{
    int64_t now = udp_now_ns();
    int64_t delta = ts_pcr_diff(raw, o->last_raw);
    o->last_raw = raw;

    pcr_point p;
    p.pos = pos;
    bool restart = o->points == 0 || delta <= 0 || delta > PCR_MAX_GAP || o->new_clock;
    o->new_clock = false;
    if (restart) {
        // Where the old schedule puts this byte, or a fresh start.
        int64_t unused;
        time_of(o, pos, now, &p.t, &unused);
        p.pcr = o->points == 0 ? raw : o->last.pcr + (delta > 0 ? delta : 0);
        o->anchor_t = p.t;
        o->anchor_pcr = p.pcr;
    } else {
        p.pcr = o->last.pcr + delta;
        p.t = o->anchor_t + udp_out_pcr_to_ns(p.pcr - o->anchor_pcr);
    }
    int64_t lead = p.t - now;
    if (!restart && (lead > o->delay_ns + o->max_lead_ns || lead < -o->max_lead_ns)) {
        /* The point before moves with the schedule: the rate between the two, by which the bytes up
         * to the next PCR are timed, stays the stream's instead of spreading them over the step. */
        int64_t step = now + o->delay_ns - p.t;
        o->anchor_t += step;
        o->last.t += step;
        p.t = now + o->delay_ns;
        lead = o->delay_ns;
        restart = true;
    }
    if (restart) {
        restart_window(o, now);
        pthread_mutex_lock(&o->lock);
        o->stats.schedule_restarts++;
        pthread_mutex_unlock(&o->lock);
    }
    judge_lead(o, now, lead);
    if (o->points > 0)
        o->prev = o->last;
    else
        o->prev = p;
    o->last = p;
    o->points = o->points < 2 ? o->points + 1 : 2;
    pthread_mutex_lock(&o->lock);
    o->stats.pcrs++;
    pthread_mutex_unlock(&o->lock);
}

/*
 * Makes slot `filled` available for a new datagram: waits while the ring is
 * full. Returns false when stopping with a full ring (the caller drops).
 */
static bool reserve_slot(udp_out *o)
{
    if (o->filled - o->published > o->capacity / 2)
        publish(o, true);  // no PCR for far too long: send at the last known rate
    pthread_mutex_lock(&o->lock);
    while (o->filled - o->head >= o->capacity) {
        if (o->published < o->filled) {
            pthread_mutex_unlock(&o->lock);
            publish(o, true);
            pthread_mutex_lock(&o->lock);
            continue;
        }
        if (stopping(o)) {
            pthread_mutex_unlock(&o->lock);
            return false;
        }
        timespec until;
        int64_t t = udp_now_ns() + WRITER_WAIT_NS;
        until.tv_sec = t / 1000000000;
        until.tv_nsec = t % 1000000000;
        pthread_cond_timedwait(&o->wake_writer, &o->lock, &until);
    }
    pthread_mutex_unlock(&o->lock);
    return true;
}

static void finish_slot(udp_out *o)
{
    udp_slot *s = slot_at(o, o->filled);
    s->len = o->cur_count * TS_PACKET_SIZE + (o->rtp ? UDP_OUT_RTP_HEADER : 0);
    o->cur_count = 0;
    o->filled++;
}

/* The PTS of the video PES that starts in TS packet p, or -1. */
static int64_t video_pes_pts(const uint8_t *p)
{
    if (!(p[1] & 0x40) || !(p[3] & 0x10))
        return -1;
    int at = 4;
    if (p[3] & 0x20)
        at += 1 + p[4];
    const uint8_t *h = p + at;
    if (at + 14 > TS_PACKET_SIZE || h[0] != 0 || h[1] != 0 || h[2] != 1 || (h[3] & 0xF0) != 0xE0 || !(h[7] & 0x80))
        return -1;
    return ((int64_t)(h[9] & 0x0E) << 29) | (h[10] << 22) | ((h[11] & 0xFE) << 14) | (h[12] << 7) | (h[13] >> 1);
}

/* A watched mark for the PES starting in p (going into slot `filled`) is queued. */
static void find_mark(udp_out *o, const uint8_t *p)
{
    int64_t pts = video_pes_pts(p);
    if (pts < 0)
        return;
    pthread_mutex_lock(&o->lock);
    for (udp_mark &m : o->marks) {
        if (m.state == MARK_WATCHED && m.pts == pts) {
            m.state = MARK_QUEUED;
            m.slot = o->filled;
            o->watched--;
            o->queued++;
        }
    }
    pthread_mutex_unlock(&o->lock);
}

/* Stamps the queued marks whose datagram the sender has sent (below head). With the lock held. */
static void stamp_marks(udp_out *o)
{
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    for (udp_mark &m : o->marks) {
        if (m.state == MARK_QUEUED && m.slot < o->head) {
            m.state = MARK_SENT;
            m.wall_ms = (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
            o->queued--;
        }
    }
}

int udp_out_mark(udp_out *o, int64_t pts)
{
    if (!o || pts < 0)
        return -EINVAL;
    pts = ts_pts_wrap(pts);
    pthread_mutex_lock(&o->lock);
    udp_mark *use = nullptr;
    for (udp_mark &m : o->marks) {
        if (m.state != MARK_FREE && m.pts == pts) {
            pthread_mutex_unlock(&o->lock);
            return 0;  // asked already
        }
        if (!use || (use->state != MARK_FREE && (m.state == MARK_FREE || m.order < use->order)))
            use = &m;
    }
    o->watched -= use->state == MARK_WATCHED;
    o->queued -= use->state == MARK_QUEUED;
    *use = udp_mark{MARK_WATCHED, pts, 0, 0, ++o->marks_asked};
    o->watched++;
    pthread_mutex_unlock(&o->lock);
    return 0;
}

int udp_out_mark_taken(udp_out *o, udp_out_mark_time *out, int max)
{
    int n = 0;
    if (!o || !out)
        return 0;
    pthread_mutex_lock(&o->lock);
    for (udp_mark &m : o->marks) {
        if (m.state == MARK_SENT && n < max) {
            out[n++] = udp_out_mark_time{m.pts, m.wall_ms};
            m.state = MARK_FREE;
        }
    }
    pthread_mutex_unlock(&o->lock);
    return n;
}

static void take_packet(void *opaque, const uint8_t *p)
{
    udp_out *o = (udp_out *)opaque;
    if (o->cur_count == 0) {
        if (!reserve_slot(o)) {
            pthread_mutex_lock(&o->lock);
            o->stats.bytes_dropped += TS_PACKET_SIZE;
            pthread_mutex_unlock(&o->lock);
            o->byte_pos += TS_PACKET_SIZE;
            return;
        }
        udp_slot *s = slot_at(o, o->filled);
        s->pos = o->byte_pos;
        s->start = o->rtp ? 0 : UDP_OUT_RTP_HEADER;
    }
    udp_slot *s = slot_at(o, o->filled);
    memcpy(s->data + UDP_OUT_RTP_HEADER + o->cur_count * TS_PACKET_SIZE, p, TS_PACKET_SIZE);
    o->cur_count++;
    if (o->watched.load(std::memory_order_relaxed) > 0)
        find_mark(o, p);

    int64_t pcr;
    int pid = ts_pid(p);
    bool timed = false;
    if ((pcr = ts_packet_pcr(p)) >= 0 && o->pcr_pid >= 0 && o->pcr_pid != pid) {
        /* The followed PID fell silent (a programme passing through whose input stopped): follow another. */
        o->other_count = o->other_pid == pid ? o->other_count + 1 : 1;
        o->other_pid = pid;
        if (o->other_count >= FOLLOW_SWITCH_PCRS) {
            o->pcr_pid = pid;
            o->new_clock = true;  // another clock's values: a restart at where the schedule puts this byte
        }
    }
    if (pcr >= 0 && (o->pcr_pid < 0 || o->pcr_pid == pid)) {
        o->pcr_pid = pid;
        o->other_count = 0;
        take_pcr(o, o->byte_pos, pcr);
        timed = true;
    }
    o->byte_pos += TS_PACKET_SIZE;
    bool untimed = false;
    if (o->cur_count == UDP_OUT_TS_PER_DATAGRAM) {
        finish_slot(o);
        timed = o->points > 0;
        /* No PCR for a while (every one of the stream passes through from an input that stopped): the
         * schedule goes on at the rate of the last two. */
        int64_t t, unused;
        time_of(o, o->byte_pos, udp_now_ns(), &t, &unused);
        untimed = o->points >= 2 && t - o->last.t > UNTIMED_MAX_NS;
    }
    if (timed || untimed)
        publish(o, untimed);
}

int udp_out_write(void *opaque, uint8_t *buf, int size)
{
    udp_out *o = (udp_out *)opaque;
    if (!o || size < 0 || (size > 0 && !buf))
        return -EINVAL;
    if (o->drained) {
        pthread_mutex_lock(&o->lock);
        o->stats.bytes_dropped += size;
        pthread_mutex_unlock(&o->lock);
        return size;
    }
    ts_gather_feed(&o->gather, buf, size, false, take_packet, o);
    return size;
}

/* ------------------------------------------------------------------------ */
/* Sender thread. */

/*
 * Sleeps until the datagram at head is due, the drain time is over or the
 * writer signals, and returns true; false when something is due now. With
 * the lock held.
 */
static bool sleep_until_due(udp_out *o, int64_t now)
{
    int64_t wake = INT64_MAX;
    if (o->head < o->published)
        wake = slot_at(o, o->head)->due;
    if (o->closing && o->drain_deadline < wake)
        wake = o->drain_deadline;
    if (wake <= now)
        return false;
    o->sender_wake = wake;
    if (wake == INT64_MAX) {
        pthread_cond_wait(&o->wake_sender, &o->lock);
    } else {
        timespec until = {(time_t)(wake / 1000000000), (long)(wake % 1000000000)};
        pthread_cond_timedwait(&o->wake_sender, &o->lock, &until);
    }
    o->sender_wake = 0;
    return true;
}

/*
 * Points msgs at the datagrams from head that are due by now plus
 * SEND_WINDOW_NS, at most SEND_BATCH, counting the late ones. With the lock
 * held. Returns their count.
 */
static int collect_due(udp_out *o, int64_t now, mmsghdr *msgs, iovec *iov, int64_t *late_us)
{
    int n = 0;
    for (uint64_t i = o->head; i < o->published && n < SEND_BATCH; i++, n++) {
        udp_slot *s = slot_at(o, i);
        if (s->due > now + SEND_WINDOW_NS)
            break;
        int64_t late = now - s->due;
        late_us[n] = late / 1000;
        if (late > LATE_NS)
            o->stats.datagrams_late++;
        if (late / 1000 > o->stats.max_late_us)
            o->stats.max_late_us = late / 1000;
        iov[n].iov_base = s->data + s->start;
        iov[n].iov_len = (size_t)s->len;
        memset(&msgs[n], 0, sizeof(msgs[n]));
        msgs[n].msg_hdr.msg_iov = &iov[n];
        msgs[n].msg_hdr.msg_iovlen = 1;
    }
    return n;
}

/*
 * Sends the n datagrams of msgs and counts them into the stats and the
 * report for the watcher; a datagram the kernel refuses is lost and counted
 * by cause, and the rest go on. Without the lock: the slots stay the
 * sender's, the writer never reaches them before head moves.
 */
static void send_due(udp_out *o, mmsghdr *msgs, const iovec *iov, const int64_t *late_us, int n)
{
    int done = 0, errors = 0;
    udp_out_report rep = {};
    for (int k = 0; o->send && k < n; k++) {
        int ret = o->send(o->send_opaque, (const uint8_t *)iov[k].iov_base, (int)iov[k].iov_len);
        if (ret < 0) {
            int cause = udp_out_error_of(-ret);
            rep.errors[cause]++;
            rep.errnos[cause] = -ret;
            errors++;
            continue;
        }
        rep.bytes += (int64_t)iov[k].iov_len - (o->rtp ? UDP_OUT_RTP_HEADER : 0);
        done++;
    }
    while (!o->send && done + errors < n) {
        int r = sendmmsg(o->fd, msgs + done + errors, n - done - errors, 0);
        if (r < 0) {
            if (errno != EINTR) {
                int cause = udp_out_error_of(errno);
                rep.errors[cause]++;
                rep.errnos[cause] = errno;
                errors++;
            }
            continue;
        }
        for (int k = 0; k < r; k++)
            rep.bytes += (int64_t)iov[done + errors + k].iov_len - (o->rtp ? UDP_OUT_RTP_HEADER : 0);
        done += r;
    }
    rep.late_max_us = INT64_MIN;
    for (int k = 0; k < n; k++) {
        rep.late[late_bucket(late_us[k])]++;
        rep.late_sum_us += late_us[k] > 0 ? late_us[k] : 0;
        rep.late_max_us = late_us[k] > rep.late_max_us ? late_us[k] : rep.late_max_us;
    }
    rep.datagrams = done;
    int64_t now = udp_now_ns();
    if (!o->first_sent)
        o->first_sent = now;
    pthread_mutex_lock(&o->lock);
    rep.steady = !o->closing && now - o->first_sent >= (int64_t)UDP_OUT_SETTLE_US * 1000;
    o->head += n;
    if (o->queued.load(std::memory_order_relaxed) > 0)
        stamp_marks(o);
    o->stats.datagrams_sent += done;
    o->stats.bytes_sent += rep.bytes;
    o->stats.send_errors += errors;
    for (int c = 0; c < UDP_OUT_ERR_COUNT; c++)
        o->stats.errors[c] += rep.errors[c];
    pthread_cond_signal(&o->wake_writer);
    pthread_mutex_unlock(&o->lock);
    if (o->on_sent && n > 0) {
        rep.now_us = now / 1000;
        try {
            o->on_sent(o->on_sent_opaque, &rep);
        } catch (...) {
            /* A watcher must not throw; the datagrams go on whatever it does. */
        }
    }
}

static void sender_loop(udp_out *o);

static void *sender_thread(void *arg)
{
    utils_name_thread("udp-out");
    udp_raise_thread();  // or it keeps the process's priority
    try {
        sender_loop((udp_out *)arg);
    } catch (...) {
        /* Nothing here throws (the watcher's call is guarded): no exception leaves the thread. */
    }
    return nullptr;
}

static void sender_loop(udp_out *o)
{
    mmsghdr msgs[SEND_BATCH];
    iovec iov[SEND_BATCH];
    int64_t late_us[SEND_BATCH];

    pthread_mutex_lock(&o->lock);
    for (;;) {
        int64_t now = udp_now_ns();
        if (o->closing && (o->head == o->published || now >= o->drain_deadline)) {
            o->stats.datagrams_dropped += (int64_t)(o->published - o->head);
            o->head = o->published;
            break;
        }
        if (sleep_until_due(o, now))
            continue;
        // Everything due now or within the window, at most one batch.
        int n = collect_due(o, now, msgs, iov, late_us);
        pthread_mutex_unlock(&o->lock);
        send_due(o, msgs, iov, late_us, n);
        pthread_mutex_lock(&o->lock);
    }
    pthread_mutex_unlock(&o->lock);
}

/* ------------------------------------------------------------------------ */

static int open_socket(const udp_out_config *c, int *fd_out)
{
    sockaddr_in dst;
    in_addr ifaddr;
    int ret = udp_addr_parse(c->addr, &dst);
    if (ret < 0)
        return ret;
    if (udp_addr_interface(c->interface, &ifaddr) < 0)
        return -EINVAL;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    bool group = IN_MULTICAST(ntohl(dst.sin_addr.s_addr));
    ret = 0;
    if (c->ttl > 0 && group)
        ret = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &c->ttl, sizeof(c->ttl));
    else if (c->ttl > 0)
        ret = setsockopt(fd, IPPROTO_IP, IP_TTL, &c->ttl, sizeof(c->ttl));
    if (ret == 0 && ifaddr.s_addr != htonl(INADDR_ANY)) {
        if (group) {
            ret = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof(ifaddr));
        } else {
            sockaddr_in local;
            memset(&local, 0, sizeof(local));
            local.sin_family = AF_INET;
            local.sin_addr = ifaddr;
            ret = bind(fd, (const sockaddr *)&local, sizeof(local));
        }
    }
    if (ret == 0)
        ret = connect(fd, (const sockaddr *)&dst, sizeof(dst));
    if (ret != 0) {
        ret = -errno;
        close(fd);
        return ret;
    }
    *fd_out = fd;
    return 0;
}

int udp_out_create(udp_out **out, const udp_out_config *config)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!config)
        return -EINVAL;
    if (config->ttl < 0 || config->ttl > 255 || config->delay_us < 0 || config->max_lead_us <= 0 ||
        config->ring_bytes < 0 || config->ring_bytes > ((int64_t)1 << 32) ||
        config->delay_us > 60000000 || config->max_lead_us > 60000000)
        return -ERANGE;

    udp_out *o = (udp_out *)calloc(1, sizeof(*o));
    if (!o)
        return -ENOMEM;
    o->capacity = (uint64_t)(config->ring_bytes / DATAGRAM_TS);
    if (o->capacity < RING_MIN_SLOTS)
        o->capacity = RING_MIN_SLOTS;
    o->rtp = config->rtp != 0;
    o->delay_ns = config->delay_us * 1000;
    o->max_lead_ns = config->max_lead_us * 1000;
    o->stop_flag = config->stop_flag;
    o->on_sent = config->on_sent;
    o->on_sent_opaque = config->on_sent_opaque;
    o->pcr_pid = o->other_pid = -1;
    o->rtp_ssrc = (uint32_t)(udp_now_ns() ^ ((int64_t)getpid() << 16));
    o->rtp_seq = (uint16_t)o->rtp_ssrc;

    pthread_condattr_t attr;
    int ret = -ENOMEM;
    o->slots = (udp_slot *)calloc(o->capacity, sizeof(udp_slot));
    if (!o->slots)
        goto out_free;
    o->send = config->send;
    o->send_opaque = config->send_opaque;
    o->fd = -1;
    ret = o->send ? 0 : open_socket(config, &o->fd);
    if (ret < 0)
        goto out_free_slots;
    pthread_mutex_init(&o->lock, nullptr);
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&o->wake_sender, &attr);
    pthread_cond_init(&o->wake_writer, &attr);
    pthread_condattr_destroy(&attr);
    ret = -pthread_create(&o->thread, nullptr, sender_thread, o);
    if (ret < 0)
        goto out_close;
    *out = o;
    return 0;

out_close:
    pthread_cond_destroy(&o->wake_writer);
    pthread_cond_destroy(&o->wake_sender);
    pthread_mutex_destroy(&o->lock);
    if (o->fd >= 0)
        close(o->fd);
out_free_slots:
    free(o->slots);
out_free:
    free(o);
    return ret;
}

int udp_out_get_stats(udp_out *o, udp_out_stats *stats)
{
    if (!o || !stats)
        return -EINVAL;
    pthread_mutex_lock(&o->lock);
    *stats = o->stats;
    pthread_mutex_unlock(&o->lock);
    return 0;
}

int udp_out_drain(udp_out *o)
{
    if (!o)
        return -EINVAL;
    if (o->drained)
        return 0;
    o->drained = true;
    // A partial TS packet is never sent; a short datagram is.
    if (o->cur_count > 0)
        finish_slot(o);
    publish(o, true);
    pthread_mutex_lock(&o->lock);
    o->closing = 1;
    o->drain_deadline = udp_now_ns() + (int64_t)UDP_OUT_DRAIN_US * 1000;
    pthread_cond_signal(&o->wake_sender);
    pthread_mutex_unlock(&o->lock);
    pthread_join(o->thread, nullptr);
    return 0;
}

int udp_out_destroy(udp_out **p, udp_out_stats *stats)
{
    if (!p || !*p)
        return -EINVAL;
    udp_out *o = *p;
    *p = nullptr;

    udp_out_drain(o);

    if (stats)
        *stats = o->stats;
    pthread_cond_destroy(&o->wake_writer);
    pthread_cond_destroy(&o->wake_sender);
    pthread_mutex_destroy(&o->lock);
    if (o->fd >= 0)
        close(o->fd);
    free(o->slots);
    free(o);
    return 0;
}
