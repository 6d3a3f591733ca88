/*
 * RTP input: the reorderer (pure) and the receiver thread that feeds a
 * udp_in's ring through it.
 *
 * The reorderer keeps the next sequence number expected; a datagram ahead
 * of it waits in the slot of its sequence number modulo RTP_REORDER_SLOTS.
 * history holds, for the 64 sequence numbers before the expected one,
 * whether each went on (1) or was given up (0): a datagram behind is a
 * duplicate or came late by it.
 */
#include "net/rtp_in.h"
#include "net/udp_addr.h"
#include "net/udp_in.h"
#include "common/utils.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

int rtp_header_size(const uint8_t *d, int n, int *payload_len)
{
    *payload_len = n;
    if (!d || n < 12 || (d[0] & 0xC0) != 0x80 || (d[1] & 0x7F) != RTP_PT_MP2T)
        return 0;
    int off = 12 + 4 * (d[0] & 0x0F);
    if ((d[0] & 0x10) && off + 4 <= n)
        off += 4 + 4 * ((d[off + 2] << 8) | d[off + 3]);
    int end = n;
    if (d[0] & 0x20)
        end -= d[n - 1];
    if (off >= end)
        return 0;
    *payload_len = end - off;
    return off;
}

/* ------------------------------------------------------------------------ */
/* Reorderer. */

#define HELD_MAX_DATAGRAM 2048

struct rtp_held {
    int used;
    uint16_t seq;
    int64_t at;      // ns: when it arrived
    int len;
    uint8_t data[HELD_MAX_DATAGRAM];
};

struct rtp_reorder {
    rtp_emit_fn emit;
    void *opaque;
    int started;
    uint16_t next;         // sequence number expected
    uint16_t highest;      // the latest sequence number that came
    uint32_t ssrc;
    uint64_t history;      // bit k: sequence number next - 1 - k went on
    int held;              // slots used
    int64_t gap_since;     // ns: the oldest datagram waiting arrived then; 0 when none waits
    rtp_held slots[RTP_REORDER_SLOTS];
    rtp_stats stats;
};

/* The payload of an RTP datagram goes on. */
static void emit_rtp(rtp_reorder *r, const uint8_t *d, int n)
{
    int len;
    int off = rtp_header_size(d, n, &len);
    r->emit(r->opaque, d + off, len);
}

/* The expected datagram went on (sent) or was given up: the next one is expected. */
static void advance(rtp_reorder *r, bool sent)
{
    r->history = (r->history << 1) | (sent ? 1 : 0);
    r->next++;
}

/* Emits the datagrams waiting from the expected one on, as long as they follow each other. */
static void drain(rtp_reorder *r)
{
    for (;;) {
        rtp_held *h = &r->slots[r->next % RTP_REORDER_SLOTS];
        if (!h->used || h->seq != r->next)
            return;
        emit_rtp(r, h->data, h->len);
        h->used = 0;
        r->held--;
        advance(r, true);
    }
}

/* Gives up the missing datagrams before the first that waits, and emits what follows. */
static void skip_gap(rtp_reorder *r)
{
    while (r->held > 0) {
        rtp_held *h = &r->slots[r->next % RTP_REORDER_SLOTS];
        if (h->used && h->seq == r->next)
            break;
        r->stats.lost++;
        advance(r, false);
    }
    drain(r);
}

/* gap_since: when the oldest of the datagrams still waiting arrived. */
static void reset_gap(rtp_reorder *r)
{
    r->gap_since = 0;
    if (r->held == 0)
        return;
    for (const rtp_held &h : r->slots)
        if (h.used && (r->gap_since == 0 || h.at < r->gap_since))
            r->gap_since = h.at;
}

/* A new source: what waits goes on in order (the gaps before it lost), and the sequence numbers are followed from seq. */
static void resync(rtp_reorder *r, uint16_t seq, uint32_t ssrc)
{
    while (r->held > 0)
        skip_gap(r);  // each gives up to the next that waits and emits it
    r->next = r->highest = seq;
    r->ssrc = ssrc;
    r->history = 0;
    r->gap_since = 0;
    r->stats.resyncs++;
}

void rtp_reorder_put(rtp_reorder *r, const uint8_t *d, int n, int64_t now_ns)
{
    int len;
    if (!r || !d || n < 0)
        return;
    if (rtp_header_size(d, n, &len) == 0) {
        r->stats.not_rtp++;
        r->emit(r->opaque, d, n);
        return;
    }
    r->stats.datagrams++;
    uint16_t seq = (uint16_t)((d[2] << 8) | d[3]);
    uint32_t ssrc = ((uint32_t)d[8] << 24) | ((uint32_t)d[9] << 16) | ((uint32_t)d[10] << 8) | d[11];
    if (!r->started) {
        r->started = 1;
        r->next = r->highest = seq;
        r->ssrc = ssrc;
    }
    int delta = (int16_t)(uint16_t)(seq - r->next);
    if (ssrc != r->ssrc || delta > RTP_RESYNC || delta < -RTP_RESYNC) {
        resync(r, seq, ssrc);
        delta = 0;
    }
    bool behind = (int16_t)(uint16_t)(seq - r->highest) < 0;  // a later one came first
    if (delta < 0) {
        int k = -delta - 1;
        if (k < 64 && (r->history >> k) & 1)
            r->stats.duplicates++;
        else
            r->stats.late++;
        return;
    }
    // Too far ahead for the slots: the oldest places are given up until it fits.
    while (delta >= RTP_REORDER_SLOTS) {
        rtp_held *h = &r->slots[r->next % RTP_REORDER_SLOTS];
        if (h->used && h->seq == r->next) {
            emit_rtp(r, h->data, h->len);
            h->used = 0;
            r->held--;
            advance(r, true);
        } else {
            r->stats.lost++;
            advance(r, false);
        }
        delta--;
    }
    drain(r);  // what waited behind the places given up
    delta = (int16_t)(uint16_t)(seq - r->next);
    reset_gap(r);
    if (delta == 0) {
        r->stats.reordered += behind;
        if (!behind)
            r->highest = seq;
        emit_rtp(r, d, n);
        advance(r, true);
        drain(r);
        reset_gap(r);
        return;
    }
    rtp_held *h = &r->slots[seq % RTP_REORDER_SLOTS];
    if (h->used && h->seq == seq) {
        r->stats.duplicates++;
        return;
    }
    if (n > HELD_MAX_DATAGRAM) {
        r->stats.late++;  // cannot wait: dropped as if it came too late
        return;
    }
    r->stats.reordered += behind;
    if (!behind)
        r->highest = seq;
    h->used = 1;
    h->seq = seq;
    h->at = now_ns;
    h->len = n;
    memcpy(h->data, d, (size_t)n);
    if (r->held++ == 0)
        r->gap_since = now_ns;
}

int64_t rtp_reorder_tick(rtp_reorder *r, int64_t now_ns)
{
    if (!r || r->held == 0)
        return -1;
    while (r->held > 0 && now_ns - r->gap_since >= RTP_REORDER_WAIT_NS) {
        skip_gap(r);
        reset_gap(r);
    }
    if (r->held == 0)
        return -1;
    return r->gap_since + RTP_REORDER_WAIT_NS - now_ns;
}

int rtp_reorder_create(rtp_reorder **out, rtp_emit_fn emit, void *opaque)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!emit)
        return -EINVAL;
    rtp_reorder *r = (rtp_reorder *)calloc(1, sizeof(*r));
    if (!r)
        return -ENOMEM;
    r->emit = emit;
    r->opaque = opaque;
    *out = r;
    return 0;
}

int rtp_reorder_get_stats(const rtp_reorder *r, rtp_stats *stats)
{
    if (!r || !stats)
        return -EINVAL;
    *stats = r->stats;
    return 0;
}

int rtp_reorder_destroy(rtp_reorder **p)
{
    if (!p || !*p)
        return -EINVAL;
    free(*p);
    *p = nullptr;
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Receiver thread. */

#define RECV_BATCH       32
#define POLL_MS          200
#define GATHER_NS        3000000       // after a short batch, let this much arrive before the next read
#define STATS_EVERY_NS   1000000000
#define CONTROL_SIZE     64

struct rtp_in {
    int fd;
    int wake_fd;
    std::atomic<int> quit;
    udp_in *ring;
    rtp_reorder *reorder;
    pthread_t thread;
    pthread_mutex_t lock;   // guards stats
    rtp_stats stats;
    void (*on_stats)(void *opaque, const rtp_stats *stats);
    void *opaque;
    int64_t now_ns;         // the batch's arrival time, for what it emits
    int64_t socket_buffer;  // bytes the kernel granted
    uint8_t bufs[RECV_BATCH][UDP_IN_MAX_DATAGRAM];
};

static void push_payload(void *opaque, const uint8_t *data, int len)
{
    rtp_in *in = (rtp_in *)opaque;
    udp_in_push(in->ring, data, len, in->now_ns);
}

static void publish_stats(rtp_in *in, bool tell)
{
    rtp_stats st;
    rtp_reorder_get_stats(in->reorder, &st);
    pthread_mutex_lock(&in->lock);
    in->stats = st;
    pthread_mutex_unlock(&in->lock);
    if (tell && in->on_stats)
        in->on_stats(in->opaque, &st);
}

static void *rtp_thread(void *arg)
{
    utils_name_thread("rtp-in");
    rtp_in *in = (rtp_in *)arg;
    mmsghdr msgs[RECV_BATCH];
    iovec iov[RECV_BATCH];
    uint8_t control[RECV_BATCH][CONTROL_SIZE];
    int64_t stats_at = udp_now_ns();
    bool flowing = false;

    while (!in->quit.load()) {
        int64_t now = udp_now_ns();
        if (now - stats_at >= STATS_EVERY_NS) {
            publish_stats(in, true);
            stats_at = now;
        }
        if (!flowing) {
            // The socket holds nothing: what waits longer than it may is given up now, not before.
            int64_t wait_ns = rtp_reorder_tick(in->reorder, now);
            int timeout = wait_ns < 0 ? POLL_MS : (int)(wait_ns / 1000000) + 1;
            pollfd fds[2] = {{in->fd, POLLIN, 0}, {in->wake_fd, POLLIN, 0}};
            if (poll(fds, 2, timeout) <= 0 || (fds[1].revents & POLLIN))
                continue;
        }
        for (int k = 0; k < RECV_BATCH; k++) {
            iov[k].iov_base = in->bufs[k];
            iov[k].iov_len = UDP_IN_MAX_DATAGRAM;
            memset(&msgs[k], 0, sizeof(msgs[k]));
            msgs[k].msg_hdr.msg_iov = &iov[k];
            msgs[k].msg_hdr.msg_iovlen = 1;
            msgs[k].msg_hdr.msg_control = control[k];
            msgs[k].msg_hdr.msg_controllen = CONTROL_SIZE;
        }
        int got = recvmmsg(in->fd, msgs, RECV_BATCH, MSG_DONTWAIT, nullptr);
        flowing = got > 0;
        if (got <= 0)
            continue;
        in->now_ns = udp_now_ns();
        int64_t drops = -1;
        for (int k = 0; k < got; k++) {
            for (cmsghdr *c = CMSG_FIRSTHDR(&msgs[k].msg_hdr); c; c = CMSG_NXTHDR(&msgs[k].msg_hdr, c))
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                    uint32_t v;
                    memcpy(&v, CMSG_DATA(c), sizeof(v));
                    drops = v;
                }
            rtp_reorder_put(in->reorder, in->bufs[k], (int)msgs[k].msg_len, in->now_ns);
        }
        if (drops >= 0)
            udp_in_set_socket_stats(in->ring, in->socket_buffer, drops);
        if (got < RECV_BATCH) {
            rtp_reorder_tick(in->reorder, udp_now_ns());  // drained: a datagram still missing is not in the socket
            timespec gather = {0, GATHER_NS};
            nanosleep(&gather, nullptr);
        }
    }
    publish_stats(in, true);
    return nullptr;
}

int rtp_in_create(rtp_in **out, const udp_in_config *config, udp_in *ring,
                  void (*on_stats)(void *opaque, const rtp_stats *stats), void *opaque)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!config || !ring)
        return -EINVAL;
    rtp_in *in = (rtp_in *)calloc(1, sizeof(*in));
    if (!in)
        return -ENOMEM;
    in->ring = ring;
    in->on_stats = on_stats;
    in->opaque = opaque;
    int64_t granted = 0;
    int ret = rtp_reorder_create(&in->reorder, push_payload, in);
    if (ret < 0)
        goto out_free;
    in->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (in->wake_fd < 0) {
        ret = -errno;
        goto out_free_reorder;
    }
    ret = udp_in_open_socket(config, &in->fd, &granted);
    if (ret < 0)
        goto out_close_wake;
    in->socket_buffer = granted;
    udp_in_set_socket_stats(ring, granted, 0);
    pthread_mutex_init(&in->lock, nullptr);
    ret = -pthread_create(&in->thread, nullptr, rtp_thread, in);
    if (ret < 0)
        goto out_close_socket;
    *out = in;
    return 0;

out_close_socket:
    pthread_mutex_destroy(&in->lock);
    close(in->fd);
out_close_wake:
    close(in->wake_fd);
out_free_reorder:
    rtp_reorder_destroy(&in->reorder);
out_free:
    free(in);
    return ret;
}

int rtp_in_get_stats(rtp_in *in, rtp_stats *stats)
{
    if (!in || !stats)
        return -EINVAL;
    pthread_mutex_lock(&in->lock);
    *stats = in->stats;
    pthread_mutex_unlock(&in->lock);
    return 0;
}

int rtp_in_destroy(rtp_in **p)
{
    if (!p || !*p)
        return -EINVAL;
    rtp_in *in = *p;
    *p = nullptr;
    in->quit.store(1);
    uint64_t one = 1;
    if (write(in->wake_fd, &one, sizeof(one)) < 0) {
        // The thread's poll times out instead.
    }
    pthread_join(in->thread, nullptr);
    pthread_mutex_destroy(&in->lock);
    close(in->fd);
    close(in->wake_fd);
    rtp_reorder_destroy(&in->reorder);
    free(in);
    return 0;
}
