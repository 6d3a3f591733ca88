/*
 * RTP input (rtp://HOST:PORT): MPEG-TS over RTP (payload type 33,
 * RFC 2250) with its sequence numbers followed.
 *
 * A receiver thread of its own reads the datagrams (the UDP input's socket:
 * multicast joins, buffer size and drop counts alike) and puts them back in
 * sequence order before they go into the ring of a udp_in made without a
 * socket (udp_in_config.fed). A datagram that comes ahead of a missing one
 * waits for it at most RTP_REORDER_SLOTS datagrams or RTP_REORDER_WAIT_NS;
 * then the missing ones are given up (lost) and what waited goes on. One
 * that comes after its place was given up, or twice, is dropped and
 * counted. A jump of the sequence numbers by more than RTP_RESYNC, or a
 * new SSRC, is a new source: followed from there, no loss counted.
 * Datagrams without an MP2T RTP header go on as they came (counted): the
 * ring's own watch tells whether they carry TS packets.
 */
#ifndef KESTROW_NET_RTP_IN_H
#define KESTROW_NET_RTP_IN_H

#include <cstdint>

struct udp_in;
struct udp_in_config;
struct rtp_reorder;
struct rtp_in;

#define RTP_PT_MP2T          33
#define RTP_REORDER_SLOTS    32          // datagrams that may wait for a missing one
#define RTP_REORDER_WAIT_NS  50000000    // longest a missing one is waited for
#define RTP_RESYNC           1000        // a sequence jump past this: a new source

/*
 * The header length of an RTP datagram of payload type 33 (version 2; CSRCs,
 * extension and padding honoured), with the length of its payload in
 * *payload_len; 0 when d holds no such datagram (*payload_len then n).
 */
int rtp_header_size(const uint8_t *d, int n, int *payload_len);

/* Counts since create. */
struct rtp_stats {
    int64_t datagrams;   // RTP datagrams received
    int64_t lost;        // sequence numbers given up: never came, or came too late
    int64_t reordered;   // came after a later one and went on in their place
    int64_t duplicates;  // a sequence number that went on already: dropped
    int64_t late;        // came after their place was given up (counted lost too): dropped
    int64_t resyncs;     // new sources: sequence jumps past RTP_RESYNC, new SSRCs
    int64_t not_rtp;     // datagrams without an MP2T RTP header, passed on as they came
};

/* Where the reorderer hands each payload (TS bytes, the RTP header taken off), in sequence order. */
typedef void (*rtp_emit_fn)(void *opaque, const uint8_t *data, int len);

/* A reorderer emitting through emit; pure but for its memory. 0, -EINVAL, -ENOMEM; *out null on failure. */
int rtp_reorder_create(rtp_reorder **out, rtp_emit_fn emit, void *opaque);

/*
 * One datagram as received at now_ns (monotonic); what it lets go on is
 * emitted before this returns. Nothing is given up for time here: the
 * receiver calls rtp_reorder_tick once it has read what its socket holds.
 */
void rtp_reorder_put(rtp_reorder *r, const uint8_t *d, int n, int64_t now_ns);

/*
 * Gives up the missing datagrams waited for RTP_REORDER_WAIT_NS by now_ns,
 * emitting what waited for them. Returns the ns until the next time this
 * has work, or -1 when nothing waits. Called with the socket read empty, so
 * that a receiver held up (a busy machine) gives up none still in it.
 */
int64_t rtp_reorder_tick(rtp_reorder *r, int64_t now_ns);

/* Copies the counters. 0; -EINVAL without reorderer or stats. */
int rtp_reorder_get_stats(const rtp_reorder *r, rtp_stats *stats);

/* Frees *p (what waits is dropped) and sets it to null. 0 or -EINVAL. */
int rtp_reorder_destroy(rtp_reorder **p);

/*
 * Opens config's socket (its addr, interface, source and buffer; the ring
 * and callbacks are ring's own) and starts the receiver thread feeding ring,
 * which must be a fed udp_in that outlives the input. on_stats, when not
 * null, is called on the receiver thread once a second with the counts.
 * 0; -EINVAL without out, config or ring; the socket's and thread's errors.
 * On failure *out is null and nothing stays open.
 */
int rtp_in_create(rtp_in **out, const udp_in_config *config, udp_in *ring,
                  void (*on_stats)(void *opaque, const rtp_stats *stats), void *opaque);

/* Copies the counters. 0; -EINVAL. */
int rtp_in_get_stats(rtp_in *in, rtp_stats *stats);

/* Stops and joins the thread (on_stats called a last time), closes, frees; *p null. 0 or -EINVAL. */
int rtp_in_destroy(rtp_in **p);

#endif
