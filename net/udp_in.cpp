/*
 * Live UDP input: receiver thread, datagram ring, AVIO read callback.
 *
 * Ring indices only grow: head <= tail <= head + capacity. The receiver
 * fills [tail, head + capacity) without the lock and then moves tail; the
 * reader copies out of [head, tail) without the lock and then moves head.
 */
#include "net/udp_in.h"
#include "net/udp_addr.h"
#include "net/rtp_in.h"
#include "common/mpegts.h"
#include "common/utils.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}


#define RING_MIN_SLOTS   16
#define RECV_BATCH       32
#define POLL_MS          200
#define GATHER_NS        3000000       // after a short batch, let this much arrive before the next read
#define READ_WAIT_NS     100000000     // the reader re-checks the stop flag this often
#define AVIO_BUFFER_SIZE 65536
#define CONTROL_SIZE     64

struct udp_in_slot {
    int64_t at;      // ns (monotonic) when its batch was received
    int off;         // first TS byte
    int len;         // TS bytes; 0: nothing for the reader
    uint8_t data[UDP_IN_MAX_DATAGRAM];
};

/* What the receiver knows of the input's health. */
struct input_watch {
    int told;            // the udp_in_change last told; -1 before any
    int64_t spell_ns;    // the first datagram without TS packets since the last with; 0: none
    int64_t invalid;     // datagrams without TS packets since count_ns
    int64_t count_ns;    // start of that count: the spell's, or the last report of it
};

struct udp_in {
    int fd;          // -1 when fed
    int wake_fd;     // eventfd: ends the receiver's poll at destroy
    const std::atomic<int> *stop_flag;
    std::atomic<int> quit;
    udp_in_slot *slots;
    uint64_t capacity;
    pthread_mutex_t lock;
    pthread_cond_t readable;
    uint64_t head;
    uint64_t tail;
    int read_off;    // bytes of slot head already read
    udp_in_stats stats;  // under the lock
    AVIOContext *pb;
    pthread_t thread;
    void (*on_change)(void *opaque, const udp_in_report *report);
    void *on_change_opaque;
    int fed;
    input_watch watch;   // a fed input's, its feeder's thread alone
};

static udp_in_slot *slot_at(udp_in *in, uint64_t i)
{
    return &in->slots[i % in->capacity];
}

static bool stopping(const udp_in *in)
{
    return in->quit.load() || (in->stop_flag && in->stop_flag->load() != 0);
}

/*
 * Where the TS bytes of a datagram start: after an RTP header (version 2,
 * payload type 33, CSRCs, extension and padding honoured) when there is one
 * and what follows starts with a sync byte. Sets *len to their count.
 */
static int ts_payload(const uint8_t *d, int n, int *len)
{
    int off = n > 0 && d[0] != TS_SYNC_BYTE ? rtp_header_size(d, n, len) : 0;
    if (off == 0 || d[off] != TS_SYNC_BYTE) {
        *len = n;
        return 0;
    }
    return off;
}

/* One recvmmsg batch of the receiver thread. */
struct recv_batch {
    mmsghdr msgs[RECV_BATCH];
    iovec iov[RECV_BATCH];
    uint8_t control[RECV_BATCH][CONTROL_SIZE];
    uint8_t scratch[UDP_IN_MAX_DATAGRAM];  // where a full ring's datagrams go to be counted
    uint64_t tail;       // ring index of the first message's slot
    int size;            // messages set up
    bool full;           // no room in the ring: the datagrams are read, counted and dropped
};

/* Waits up to timeout_ms for a datagram; false on a time-out or a wake-up by destroy. */
static bool wait_datagram(udp_in *in, int timeout_ms)
{
    pollfd fds[2] = {{in->fd, POLLIN, 0}, {in->wake_fd, POLLIN, 0}};
    int r = poll(fds, 2, timeout_ms);
    return r > 0 && !(fds[1].revents & POLLIN);
}

/* Points the batch's messages at the free slots after the ring's tail, or at the scratch buffer. */
static void prepare_batch(udp_in *in, recv_batch *b)
{
    pthread_mutex_lock(&in->lock);
    b->tail = in->tail;
    int space = (int)(in->capacity - (b->tail - in->head));
    pthread_mutex_unlock(&in->lock);
    b->size = space < RECV_BATCH ? space : RECV_BATCH;
    b->full = b->size == 0;
    if (b->full)
        b->size = RECV_BATCH;  // read and drop, so that the losses are counted
    for (int k = 0; k < b->size; k++) {
        b->iov[k].iov_base = b->full ? b->scratch : slot_at(in, b->tail + k)->data;
        b->iov[k].iov_len = UDP_IN_MAX_DATAGRAM;
        memset(&b->msgs[k], 0, sizeof(b->msgs[k]));
        b->msgs[k].msg_hdr.msg_iov = &b->iov[k];
        b->msgs[k].msg_hdr.msg_iovlen = 1;
        b->msgs[k].msg_hdr.msg_control = b->control[k];
        b->msgs[k].msg_hdr.msg_controllen = CONTROL_SIZE;
    }
}

/*
 * Queues the got datagrams of the batch for the reader (or counts them as
 * overruns when the ring was full) and takes the socket's drop count.
 */
static void take_batch(udp_in *in, recv_batch *b, int got)
{
    int64_t bytes = 0, rtp = 0, truncated = 0, drops = -1, now = udp_now_ns();
    for (int k = 0; k < got; k++) {
        mmsghdr *m = &b->msgs[k];
        for (cmsghdr *c = CMSG_FIRSTHDR(&m->msg_hdr); c; c = CMSG_NXTHDR(&m->msg_hdr, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t v;
                memcpy(&v, CMSG_DATA(c), sizeof(v));
                drops = v;
            }
        if (b->full)
            continue;
        udp_in_slot *s = slot_at(in, b->tail + k);
        if (m->msg_hdr.msg_flags & MSG_TRUNC)
            truncated++;
        s->at = now;
        s->off = ts_payload(s->data, (int)m->msg_len, &s->len);
        rtp += s->off > 0;
        bytes += s->len;
    }
    pthread_mutex_lock(&in->lock);
    if (b->full) {
        in->stats.overruns += got;
    } else {
        in->tail += got;
        in->stats.datagrams += got;
        in->stats.bytes += bytes;
        in->stats.rtp_datagrams += rtp;
        in->stats.truncated += truncated;
        pthread_cond_signal(&in->readable);
    }
    if (drops >= 0)
        in->stats.kernel_drops = drops;
    pthread_mutex_unlock(&in->lock);
}

/* Whether d holds TS packets: sync bytes at one offset and every 188 (192, 204) bytes after it. */
static bool carries_ts(const uint8_t *d, int len)
{
    static const int strides[] = {TS_PACKET_SIZE, 192, 204};
    for (int stride : strides)
        for (int o = 0; o < stride && o < len; o++) {
            int k = o;
            while (k < len && d[k] == TS_SYNC_BYTE)
                k += stride;
            if (k >= len)
                return true;
        }
    return false;
}

static void tell(udp_in *in, input_watch *w, int change, int64_t now_ns)
{
    udp_in_report rep = {change, now_ns / 1000, 0, 0};
    if (change == UDP_IN_INVALID) {
        rep.datagrams = w->invalid;
        rep.seconds = (now_ns - w->count_ns + 500000000) / 1000000000;
        w->invalid = 0;
        w->count_ns = now_ns;
    }
    w->told = change;
    if (in->on_change && !in->quit.load()) {
        try {
            in->on_change(in->on_change_opaque, &rep);
        } catch (...) {
            /* A watcher must not throw; the datagrams go on being read whatever it does. */
        }
    }
}

static void watch_counts(udp_in *in, input_watch *w, int64_t now, int64_t ts, int64_t other);

/*
 * After a batch: back with TS packets; not MPEG-TS once nothing but other
 * datagrams came for UDP_IN_INVALID_AFTER_US, with a line then and then
 * one per UDP_IN_INVALID_REPORT_US while it lasts.
 */
static void watch_batch(udp_in *in, input_watch *w, const recv_batch *b, int got)
{
    int64_t now = udp_now_ns(), ts = 0, other = 0;
    for (int k = 0; k < got; k++) {
        const udp_in_slot *s = slot_at(in, b->tail + k);
        int len = s->len, off = s->off;
        const uint8_t *d = s->data;
        if (b->full) {  // read into the scratch buffer, which holds the last one: judged by it
            d = b->scratch;
            off = ts_payload(d, (int)b->msgs[got - 1].msg_len, &len);
        }
        if (carries_ts(d + off, len))
            ts++;
        else
            other += len > 0;
    }
    watch_counts(in, w, now, ts, other);
}

/* After datagrams of which ts carried TS packets and other did not. */
static void watch_counts(udp_in *in, input_watch *w, int64_t now, int64_t ts, int64_t other)
{
    if (ts > 0) {
        w->spell_ns = 0;
        if (w->told != UDP_IN_BACK)
            tell(in, w, UDP_IN_BACK, now);
        return;
    }
    if (other == 0)
        return;
    if (w->spell_ns == 0) {
        w->spell_ns = w->count_ns = now;
        w->invalid = 0;
    }
    w->invalid += other;
    bool due = w->told == UDP_IN_INVALID ? now - w->count_ns >= (int64_t)UDP_IN_INVALID_REPORT_US * 1000
                                         : now - w->spell_ns >= (int64_t)UDP_IN_INVALID_AFTER_US * 1000;
    if (due)
        tell(in, w, UDP_IN_INVALID, now);
}

static void receiver_loop(udp_in *in);

static void *receiver_thread(void *arg)
{
    utils_name_thread("udp-in");
    udp_raise_thread();  // or it keeps the process's priority
    try {
        receiver_loop((udp_in *)arg);
    } catch (...) {
        /* Nothing here throws (the watcher's call is guarded): no exception leaves the thread. */
    }
    return nullptr;
}

static void receiver_loop(udp_in *in)
{
    recv_batch batch;
    input_watch watch = {-1, 0, 0, 0};

    bool flowing = false;  // the last read found datagrams: read again without polling first
    while (!in->quit.load()) {
        if (!flowing && !wait_datagram(in, POLL_MS))
            continue;
        prepare_batch(in, &batch);
        int got = recvmmsg(in->fd, batch.msgs, batch.size, MSG_DONTWAIT, nullptr);
        flowing = got > 0;
        if (got <= 0)
            continue;
        take_batch(in, &batch, got);
        watch_batch(in, &watch, &batch, got);  // the receiver alone writes the slots: still as received
        if (got < batch.size) {
            // One wake-up every few milliseconds instead of one a datagram.
            timespec gather = {0, GATHER_NS};
            nanosleep(&gather, nullptr);
        }
    }
}

/*
 * Waits up to wait_ns for a datagram to be queued. Called and returns with
 * the lock held. 1: readable; 0: not yet; -1: the input is stopping.
 */
static int wait_readable(udp_in *in, int64_t wait_ns)
{
    if (in->head == in->tail) {
        if (stopping(in))
            return -1;
        int64_t t = udp_now_ns() + wait_ns;
        timespec until = {(time_t)(t / 1000000000), (long)(t % 1000000000)};
        pthread_cond_timedwait(&in->readable, &in->lock, &until);
    }
    if (in->head != in->tail)
        return 1;
    return stopping(in) ? -1 : 0;
}

/* Copies queued bytes into buf, at most size, waiting until wait_ns at most. The count; 0 after the wait; -1: stopping. */
static int take_bytes(udp_in *in, uint8_t *buf, int size, int64_t wait_ns)
{
    pthread_mutex_lock(&in->lock);
    int readable = wait_readable(in, wait_ns);
    uint64_t head = in->head, tail = in->tail;
    int off = in->read_off;
    pthread_mutex_unlock(&in->lock);
    if (readable < 0)
        return -1;

    int n = 0;
    while (head < tail && n < size) {
        udp_in_slot *s = slot_at(in, head);
        int take = s->len - off < size - n ? s->len - off : size - n;
        memcpy(buf + n, s->data + s->off + off, take);
        n += take;
        off += take;
        if (off >= s->len) {
            head++;
            off = 0;
        }
    }
    pthread_mutex_lock(&in->lock);
    in->head = head;
    in->read_off = off;
    pthread_mutex_unlock(&in->lock);
    return n;
}

int udp_in_read(void *opaque, uint8_t *buf, int size)
{
    udp_in *in = (udp_in *)opaque;
    if (!in || !buf || size < 0)
        return -EINVAL;
    int n = 0;
    // Empty datagrams are taken off the ring and give nothing: wait again.
    while (n == 0 && size > 0)
        if ((n = take_bytes(in, buf, size, READ_WAIT_NS)) < 0)
            return AVERROR_EXIT;
    return n;
}

int udp_in_read_until(udp_in *in, uint8_t *buf, int size, int64_t wait_us)
{
    if (!in || !buf || size < 0)
        return -EINVAL;
    int64_t end = udp_now_ns() + wait_us * 1000;
    int n = 0;
    while (n == 0 && size > 0) {
        int64_t left = end - udp_now_ns();
        if (left <= 0)
            return AVERROR(EAGAIN);
        if ((n = take_bytes(in, buf, size, left)) < 0)
            return AVERROR_EXIT;
    }
    return n;
}

int udp_in_take(udp_in *in, uint8_t *buf, int size, int64_t wait_us, int64_t *at_ns)
{
    if (!in || !buf || size < 0 || !at_ns)
        return -EINVAL;
    int64_t end = udp_now_ns() + wait_us * 1000;
    for (;;) {
        pthread_mutex_lock(&in->lock);
        int64_t left = end - udp_now_ns();
        int readable = left > 0 ? wait_readable(in, left) : (in->head != in->tail ? 1 : stopping(in) ? -1 : 0);
        uint64_t head = in->head;
        pthread_mutex_unlock(&in->lock);
        if (readable < 0)
            return AVERROR_EXIT;
        if (readable == 0)
            return AVERROR(EAGAIN);
        // The slot at head is the reader's until head moves past it.
        udp_in_slot *s = slot_at(in, head);
        int n = s->len < size ? s->len : size;
        memcpy(buf, s->data + s->off, (size_t)n);
        *at_ns = s->at;
        pthread_mutex_lock(&in->lock);
        in->head = head + 1;
        in->read_off = 0;
        pthread_mutex_unlock(&in->lock);
        if (n > 0)
            return n;
    }
}

/* ------------------------------------------------------------------------ */

static int open_socket(const udp_in_config *c, int *fd_out, int64_t *granted_out)
{
    sockaddr_in addr;
    in_addr ifaddr, source;
    int ret = udp_addr_parse(c->addr, &addr);
    if (ret < 0)
        return ret;
    if (udp_addr_interface(c->interface, &ifaddr) < 0 || udp_addr_interface(c->source, &source) < 0)
        return -EINVAL;
    bool group = IN_MULTICAST(ntohl(addr.sin_addr.s_addr));
    bool ssm = source.s_addr != htonl(INADDR_ANY);
    if (ssm && !group)
        return -EINVAL;

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -errno;
    int one = 1, zero = 0;
    ret = setsockopt(fd, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof(one));
    if (ret == 0 && group)
        ret = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (ret == 0 && group)
        ret = setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof(zero));
    if (ret == 0 && c->socket_buffer > 0) {
        int want = c->socket_buffer > INT32_MAX / 2 ? INT32_MAX / 2 : (int)c->socket_buffer;
        ret = setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &want, sizeof(want));
    }
    if (ret == 0)
        ret = bind(fd, (const sockaddr *)&addr, sizeof(addr));
    if (ret == 0 && group && ssm) {
        ip_mreq_source m;
        memset(&m, 0, sizeof(m));
        m.imr_multiaddr = addr.sin_addr;
        m.imr_interface = ifaddr;
        m.imr_sourceaddr = source;
        ret = setsockopt(fd, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &m, sizeof(m));
    } else if (ret == 0 && group) {
        ip_mreq m;
        m.imr_multiaddr = addr.sin_addr;
        m.imr_interface = ifaddr;
        ret = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof(m));
    }
    if (ret != 0) {
        ret = -errno;
        close(fd);
        return ret;
    }
    int granted = 0;
    socklen_t len = sizeof(granted);
    getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len);
    *granted_out = granted / 2;  // the kernel reports twice what it counts as data
    *fd_out = fd;
    return 0;
}

int udp_in_open_socket(const udp_in_config *config, int *fd, int64_t *granted)
{
    if (!config || !fd || !granted)
        return -EINVAL;
    return open_socket(config, fd, granted);
}

int udp_in_create(udp_in **out, const udp_in_config *config)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!config)
        return -EINVAL;
    if (config->socket_buffer < 0 || config->ring_bytes < 0 || config->ring_bytes > ((int64_t)1 << 32))
        return -ERANGE;

    udp_in *in = (udp_in *)calloc(1, sizeof(*in));
    if (!in)
        return -ENOMEM;
    in->stop_flag = config->stop_flag;
    in->on_change = config->on_change;
    in->on_change_opaque = config->on_change_opaque;
    in->fed = config->fed != 0;
    in->fd = -1;
    in->watch = input_watch{-1, 0, 0, 0};
    in->capacity = (uint64_t)(config->ring_bytes / (TS_PACKET_SIZE * 7));
    if (in->capacity < RING_MIN_SLOTS)
        in->capacity = RING_MIN_SLOTS;

    int ret = -ENOMEM;
    uint8_t *buffer = nullptr;
    in->slots = (udp_in_slot *)malloc(in->capacity * sizeof(udp_in_slot));
    if (!in->slots)
        goto out_free;
    buffer = (uint8_t *)av_malloc(AVIO_BUFFER_SIZE);
    if (!buffer)
        goto out_free_slots;
    in->pb = avio_alloc_context(buffer, AVIO_BUFFER_SIZE, 0, in, udp_in_read, nullptr, nullptr);
    if (!in->pb) {
        av_free(buffer);
        goto out_free_slots;
    }
    in->pb->seekable = 0;
    in->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (in->wake_fd < 0) {
        ret = -errno;
        goto out_free_pb;
    }
    if (!in->fed) {
        ret = open_socket(config, &in->fd, &in->stats.socket_buffer);
        if (ret < 0)
            goto out_close_wake;
    }
    {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&in->readable, &attr);
        pthread_condattr_destroy(&attr);
    }
    pthread_mutex_init(&in->lock, nullptr);
    ret = in->fed ? 0 : -pthread_create(&in->thread, nullptr, receiver_thread, in);
    if (ret < 0)
        goto out_close_socket;
    *out = in;
    return 0;

out_close_socket:
    pthread_mutex_destroy(&in->lock);
    pthread_cond_destroy(&in->readable);
    if (in->fd >= 0)
        close(in->fd);
out_close_wake:
    close(in->wake_fd);
out_free_pb:
    av_freep(&in->pb->buffer);
    avio_context_free(&in->pb);
out_free_slots:
    free(in->slots);
out_free:
    free(in);
    return ret;
}

AVIOContext *udp_in_pb(udp_in *in)
{
    return in ? in->pb : nullptr;
}

int64_t udp_in_unread_since(udp_in *in)
{
    if (!in)
        return 0;
    pthread_mutex_lock(&in->lock);
    int64_t at = in->head == in->tail ? 0 : slot_at(in, in->head)->at / 1000;
    pthread_mutex_unlock(&in->lock);
    return at;
}

int udp_in_discard(udp_in *in)
{
    if (!in)
        return -EINVAL;
    pthread_mutex_lock(&in->lock);
    in->head = in->tail;
    in->read_off = 0;
    pthread_mutex_unlock(&in->lock);
    avio_flush(in->pb);
    return 0;
}

int udp_in_push(udp_in *in, const uint8_t *data, int len, int64_t at_ns)
{
    if (!in || !in->fed || (!data && len > 0) || len < 0)
        return -EINVAL;
    pthread_mutex_lock(&in->lock);
    uint64_t tail = in->tail;
    bool full = tail - in->head >= in->capacity;
    if (full)
        in->stats.overruns++;
    pthread_mutex_unlock(&in->lock);
    if (full)
        return 0;
    // The slot past tail is the feeder's alone until tail moves over it.
    udp_in_slot *s = slot_at(in, tail);
    bool cut = len > UDP_IN_MAX_DATAGRAM;
    s->at = at_ns;
    s->off = 0;
    s->len = cut ? UDP_IN_MAX_DATAGRAM : len;
    memcpy(s->data, data, (size_t)s->len);
    bool ts = carries_ts(s->data, s->len);
    pthread_mutex_lock(&in->lock);
    in->tail++;
    in->stats.datagrams++;
    in->stats.bytes += s->len;
    in->stats.truncated += cut;
    pthread_cond_signal(&in->readable);
    pthread_mutex_unlock(&in->lock);
    watch_counts(in, &in->watch, udp_now_ns(), ts, !ts && len > 0);
    return 0;
}

int udp_in_set_socket_stats(udp_in *in, int64_t socket_buffer, int64_t kernel_drops)
{
    if (!in || !in->fed)
        return -EINVAL;
    pthread_mutex_lock(&in->lock);
    in->stats.socket_buffer = socket_buffer;
    in->stats.kernel_drops = kernel_drops;
    pthread_mutex_unlock(&in->lock);
    return 0;
}

int udp_in_get_stats(udp_in *in, udp_in_stats *stats)
{
    if (!in || !stats)
        return -EINVAL;
    pthread_mutex_lock(&in->lock);
    *stats = in->stats;
    pthread_mutex_unlock(&in->lock);
    return 0;
}

int udp_in_destroy(udp_in **p)
{
    if (!p || !*p)
        return -EINVAL;
    udp_in *in = *p;
    *p = nullptr;
    in->quit.store(1);
    uint64_t one = 1;
    if (write(in->wake_fd, &one, sizeof(one)) < 0) {
        // The receiver's poll times out instead.
    }
    if (!in->fed)
        pthread_join(in->thread, nullptr);
    pthread_mutex_destroy(&in->lock);
    pthread_cond_destroy(&in->readable);
    if (in->fd >= 0)
        close(in->fd);
    close(in->wake_fd);
    av_freep(&in->pb->buffer);
    avio_context_free(&in->pb);
    free(in->slots);
    free(in);
    return 0;
}
