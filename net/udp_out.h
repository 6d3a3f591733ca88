/*
 * Paced UDP output of a transport stream.
 *
 * The writer (the output stage's write callback, on the session's thread)
 * cuts the stream into datagrams of seven TS packets and gives each one a
 * due time from the stream's own PCRs: the clock value of a datagram's first
 * byte is interpolated between the PCRs before and after it, and mapped onto
 * the monotonic clock with a fixed delay. A sender thread sends every
 * datagram at its due time against absolute deadlines, so time lost to a
 * late wake-up is caught up and never carried on; datagrams due within a
 * millisecond of each other leave in one sendmmsg. Between the two sits a
 * ring of fixed size, allocated once.
 *
 * The schedule follows the writer: it is restarted when a datagram would be
 * due further than max_lead_us beyond the delay, or already that late (an
 * outage of the input, a jump of the PCRs). Data that comes late for a
 * moment is sent at once and the schedule stays; when every PCR of a
 * second comes more than 10 ms late the schedule is stepped back, and it is
 * slewed forward by at most 0.5 ms a second while the data written latest
 * relative to its PCR has more lead than the delay (the clocks of the
 * stream's source and of this machine differ a little).
 */
#ifndef KESTROW_NET_UDP_OUT_H
#define KESTROW_NET_UDP_OUT_H

#include <atomic>
#include <cstdint>

struct udp_out;

#define UDP_OUT_TS_PER_DATAGRAM 7
#define UDP_OUT_RTP_HEADER      12
#define UDP_OUT_DRAIN_US        500000  // longest drain at destroy
#define UDP_OUT_SETTLE_US       1000000 // the schedule settles this long after the first datagram

/* Why the kernel refused a datagram (by its errno). */
enum udp_out_error {
    UDP_OUT_ERR_REFUSED,      // ECONNREFUSED: the destination said nothing receives on its port
    UDP_OUT_ERR_FULL,         // ENOBUFS, EAGAIN: the socket's buffer or the interface's queue was full
    UDP_OUT_ERR_UNREACHABLE,  // ENETUNREACH, EHOSTUNREACH, ENETDOWN, EHOSTDOWN: no route, or the link is down
    UDP_OUT_ERR_DENIED,       // EPERM, EACCES: a firewall rule
    UDP_OUT_ERR_OTHER,
    UDP_OUT_ERR_COUNT
};

/* "refused", "buffer_full", "unreachable", "denied", "other"; null out of range. */
const char *udp_out_error_name(int cause);
/* The cause of errno err. */
int udp_out_error_of(int err);

/*
 * Lateness of the datagrams sent against their due times, as a histogram:
 * bucket i counts those at most udp_out_late_bounds_us[i] late (early ones
 * in the first), the last bucket those later than every bound.
 */
#define UDP_OUT_LATE_BUCKETS 10
extern const int64_t udp_out_late_bounds_us[UDP_OUT_LATE_BUCKETS];

/*
 * One batch as it left, handed to the sender's watcher (config.on_sent) on
 * the sender's thread, after the send and without any lock: the watcher
 * must not wait.
 */
struct udp_out_report {
    int64_t now_us;                          // monotonic µs after the send
    int64_t datagrams;                       // sent
    int64_t bytes;                           // TS bytes sent, RTP headers left out
    int64_t late_max_us;                     // the latest of the batch against its due time (< 0: all early)
    int64_t late_sum_us;                     // the batch's lateness added up (early ones as 0)
    int steady;                              // 0 in the first UDP_OUT_SETTLE_US of sending and while
                                             // draining at the end: lateness then is the start's or the stop's
    int64_t late[UDP_OUT_LATE_BUCKETS + 1];  // the batch's datagrams sent and refused, by lateness
    int64_t errors[UDP_OUT_ERR_COUNT];       // refused, by cause
    int errnos[UDP_OUT_ERR_COUNT];           // the errno of the last refusal of each cause
};

typedef void (*udp_out_report_fn)(void *opaque, const udp_out_report *rep);

struct udp_out_config {
    const char *addr;        // "host:port": unicast or multicast group (IPv4)
    const char *interface;   // IPv4 address of the outgoing interface; null or empty: routing decides
    int ttl;                 // 0: kernel default; else 1..255 (multicast TTL for a group)
    int rtp;                 // non-zero: RTP, payload type 33, 90 kHz timestamps from the PCR
    int64_t delay_us;        // margin added to every due time, >= 0
    int64_t max_lead_us;     // > 0: how far off the schedule a datagram may be before a restart
    int64_t ring_bytes;      // TS bytes the ring holds; at least 16 datagrams are kept
    const std::atomic<int> *stop_flag;  // may be null; once set, a full ring drops instead of waiting
    udp_out_report_fn on_sent;          // may be null: told of every batch sent (udp_out_report)
    void *on_sent_opaque;
    /*
     * Not null: each datagram goes to send (on the sender thread, at its due
     * time) instead of a UDP socket, which is not opened (addr, interface and
     * ttl unused). It returns 0, or a negative errno counted as a send error;
     * it must not block.
     */
    int (*send)(void *opaque, const uint8_t *data, int len);
    void *send_opaque;
};

/* Counts since create. */
struct udp_out_stats {
    int64_t datagrams_sent;
    int64_t bytes_sent;        // TS bytes, RTP headers left out
    int64_t datagrams_late;    // sent more than 1 ms after their due time
    int64_t max_late_us;       // latest send against its due time
    int64_t datagrams_dropped; // not sent: drain time over at destroy
    int64_t bytes_dropped;     // TS bytes refused while stopping with a full ring
    int64_t send_errors;       // datagrams the kernel refused (ECONNREFUSED and the like)
    int64_t errors[UDP_OUT_ERR_COUNT];  // of them, by cause
    int64_t schedule_restarts; // first PCR included
    int64_t steps_back;        // the schedule stepped back: a second's every PCR came late (the output paused)
    int64_t max_step_back_us;  // the largest such step: the longest pause it made
    int64_t pcrs;              // PCRs the schedule used
};

/*
 * Opens the socket (connected to addr; TTL and interface set), allocates the
 * ring and starts the sender thread; stores the sender in *out. Returns 0;
 * -EINVAL without out or config, or for an address or interface that does not
 * parse; -ERANGE for a ttl, delay, lead or ring size out of range; -ENOMEM without
 * memory; a negative errno from the socket calls or the thread. On failure
 * *out is null and nothing stays open.
 */
int udp_out_create(udp_out **out, const udp_out_config *config);

/*
 * Takes size bytes of transport stream; the signature of an AVIO write
 * callback, opaque being the udp_out. Waits while the ring is full, unless
 * the stop flag is set, in which case the bytes that do not fit are dropped
 * (bytes_dropped). Returns size, or -EINVAL without a sender or with a negative
 * size. Never throws.
 */
int udp_out_write(void *opaque, uint8_t *buf, int size);

/*
 * Marks: when a picture leaves. udp_out_mark asks for the wall time at which
 * the first datagram holding the start of the video PES (stream_id 0xE0 to
 * 0xEF) whose PTS is pts (modulo 2^33) was handed to the kernel; the writer
 * finds that PES in what it is given next, the sender stamps the datagram
 * when it sends it. At most UDP_OUT_MARKS are open; a new one replaces the
 * oldest. udp_out_mark_taken hands back the stamped ones.
 */
#define UDP_OUT_MARKS 16

struct udp_out_mark_time {
    int64_t pts;      // as asked
    int64_t wall_ms;  // CLOCK_REALTIME, ms since the epoch, when its datagram was sent
};

/* Watches for the video PES at pts. 0; -EINVAL without sender or with no pts (negative). */
int udp_out_mark(udp_out *o, int64_t pts);

/* Moves up to max stamped marks into out and forgets them. Returns how many; 0 without sender. */
int udp_out_mark_taken(udp_out *o, udp_out_mark_time *out, int max);

/* Copies the counters into *stats. 0; -EINVAL without sender or stats. */
int udp_out_get_stats(udp_out *o, udp_out_stats *stats);

/*
 * Sends the last, possibly short, datagram, lets the sender thread keep its
 * schedule for at most UDP_OUT_DRAIN_US, drops what is left (counted) and
 * joins the thread. The marks stamped meanwhile can then be taken; bytes
 * written afterwards are dropped (counted). Returns 0 (also when drained
 * before), or -EINVAL without a sender.
 */
int udp_out_drain(udp_out *o);

/*
 * Drains the sender unless that was done, then frees everything; *p becomes
 * null. When stats is not null it receives the final counters. Returns 0, or
 * -EINVAL without a sender.
 */
int udp_out_destroy(udp_out **p, udp_out_stats *stats);

/*
 * Nanoseconds in a span of ticks of the 27 MHz system clock; exact for any
 * span a year of uptime produces, never overflowing.
 */
int64_t udp_out_pcr_to_ns(int64_t ticks);

#endif
