/*
 * Live UDP input of a transport stream, read by libavformat through a custom
 * AVIOContext.
 *
 * A receiver thread reads datagrams in batches (recvmmsg) into a ring of
 * fixed size, allocated once; the demuxer's reads take them out in order.
 * Unicast and IPv4 multicast: any-source or source-specific join, on the
 * interface given by its address. RTP datagrams (payload type 33) are
 * recognised and their headers taken off; anything else is taken as plain
 * TS. Datagrams that find the ring full are dropped and counted (overruns),
 * and so are the kernel's own drops; both are logged at most once a second.
 * The receiver also watches the input: lost when no datagram came for a
 * while, not MPEG-TS when no datagram carried TS packets (sync bytes 188 or
 * 204 bytes apart) for a second, logged once a minute while it lasts.
 */
#ifndef KESTROW_NET_UDP_IN_H
#define KESTROW_NET_UDP_IN_H

#include <atomic>
#include <cstdint>

struct AVIOContext;
struct udp_in;

/* The largest UDP payload of a 1500-byte MTU (seven TS packets and an RTP header, an SRT message, fit):
 * longer datagrams are cut (counted as truncated). The input ring's slots are this large. */
#define UDP_IN_MAX_DATAGRAM 1472
#define UDP_IN_INVALID_AFTER_US 1000000  // time without a TS datagram while others come: not MPEG-TS
#define UDP_IN_INVALID_REPORT_US 60000000  // told again this often while it lasts

/* What the receiver tells of the input (udp_in_config.on_change). */
enum udp_in_change {
    UDP_IN_BACK,       // TS datagrams arrive: the first ones, or again after invalid input
    UDP_IN_INVALID,    // datagrams arrive, none with TS packets for UDP_IN_INVALID_AFTER_US (again each
                       // UDP_IN_INVALID_REPORT_US while it lasts)
};

struct udp_in_report {
    int change;                // udp_in_change
    int64_t now_us;            // monotonic
    int64_t datagrams;         // UDP_IN_INVALID: datagrams without TS packets since the last report
    int64_t seconds;           // over this many seconds (rounded)
};

struct udp_in_config {
    const char *addr;          // "host:port" to bind; a multicast group is joined
    const char *interface;     // IPv4 address of the interface that joins; null or empty: any
    const char *source;        // IPv4 address of the only sender (source-specific join); null or empty: any
    int64_t socket_buffer;     // SO_RCVBUF asked for, bytes; 0: kernel default
    int64_t ring_bytes;        // datagram payload the ring holds; at least 16 datagrams
    const std::atomic<int> *stop_flag;  // may be null; a set flag ends every wait
    int fed;                   // non-zero: no socket nor thread of its own; another receiver brings the
                               // datagrams (udp_in_push): addr, interface, source and socket_buffer unused
    /* Called on the receiver thread at each report (udp_in_change); may be null. */
    void (*on_change)(void *opaque, const udp_in_report *report);
    void *on_change_opaque;
};

/* Counts since create. */
struct udp_in_stats {
    int64_t datagrams;         // queued for the reader
    int64_t bytes;             // TS bytes queued, RTP headers taken off
    int64_t rtp_datagrams;
    int64_t overruns;          // datagrams dropped with the ring full
    int64_t kernel_drops;      // datagrams the socket dropped (its buffer full)
    int64_t truncated;         // datagrams longer than UDP_IN_MAX_DATAGRAM
    int64_t socket_buffer;     // SO_RCVBUF granted, bytes (what the kernel reports, halved)
};

/*
 * Binds and joins as configured, allocates the ring and an AVIOContext on
 * it, starts the receiver thread, and stores the input in *out (the socket
 * buffer the kernel granted is in its stats). Returns 0; -EINVAL without out or config, or for an address,
 * interface or source that does not parse, or a source without a multicast
 * group; -ERANGE for a negative buffer or ring size; -ENOMEM without memory; a
 * negative errno from the socket calls or the thread. On failure *out is
 * null and nothing stays open.
 */
int udp_in_create(udp_in **out, const udp_in_config *config);

/*
 * The context to set as AVFormatContext.pb (with AVFMT_FLAG_CUSTOM_IO); it
 * belongs to the input: never close it, and destroy the input only after
 * avformat_close_input. Null without an input.
 */
AVIOContext *udp_in_pb(udp_in *in);

/*
 * Copies queued datagram bytes into buf, at most size; waits until at least
 * one byte is queued (empty datagrams are passed over). Returns the count,
 * 0 at once for size 0, AVERROR_EXIT once the stop flag is set, -EINVAL without
 * an input. The AVIO read callback; never throws.
 */
int udp_in_read(void *opaque, uint8_t *buf, int size);

/*
 * Like udp_in_read, waiting wait_us at most: AVERROR(EAGAIN) when nothing
 * was queued by then (a live source of the input filter, ts_in_read_fn).
 */
int udp_in_read_until(udp_in *in, uint8_t *buf, int size, int64_t wait_us);

/*
 * Takes the next queued datagram whole into buf (at most size bytes; the
 * rest of a longer one is dropped) with the time it was received (ns,
 * monotonic) in *at_ns, waiting wait_us at most. The count; AVERROR(EAGAIN)
 * when none came by then; AVERROR_EXIT once stopping; -EINVAL. Not to be
 * mixed with the byte reads on one input.
 */
int udp_in_take(udp_in *in, uint8_t *buf, int size, int64_t wait_us, int64_t *at_ns);

/*
 * When the oldest datagram the reader has not taken yet was received (µs,
 * monotonic, as av_gettime_relative); 0 when it has taken them all or
 * without an input.
 */
int64_t udp_in_unread_since(udp_in *in);

/* Drops everything queued, in the ring and in the AVIOContext's buffer. 0 or -22. */
int udp_in_discard(udp_in *in);

/* Copies the counters into *stats. 0; -EINVAL without input or stats. */
int udp_in_get_stats(udp_in *in, udp_in_stats *stats);

/*
 * A fed input's datagram (TS bytes, any header taken off), received at
 * at_ns (monotonic), from the one thread that feeds it: queued for the
 * reader and watched as the receiver's own are, or counted as an overrun
 * when the ring is full; longer than UDP_IN_MAX_DATAGRAM, it is cut
 * (truncated). 0; -EINVAL without input or data, or for an input that is not fed.
 */
int udp_in_push(udp_in *in, const uint8_t *data, int len, int64_t at_ns);

/* A fed input's socket as its feeder has it: the buffer granted and the kernel's drops in all. 0 or -EINVAL. */
int udp_in_set_socket_stats(udp_in *in, int64_t socket_buffer, int64_t kernel_drops);

/*
 * A UDP socket bound and joined as config says (addr, interface, source,
 * socket_buffer), counting its drops (SO_RXQ_OVFL), for a receiver of its
 * own: *fd and the buffer granted in *granted (bytes). 0, or the errors of
 * udp_in_create; nothing open on failure.
 */
int udp_in_open_socket(const udp_in_config *config, int *fd, int64_t *granted);

/* Stops and joins the receiver thread, closes and frees; *p becomes null. 0 or -22. */
int udp_in_destroy(udp_in **p);

#endif
