/*
 * One SRT connection kept up for a live input or output, through libsrt in
 * live mode (TSBPD: each message delivered at its send time plus the
 * latency; too late, dropped).
 *
 * A thread of the link's own makes and keeps the connection, all sockets
 * non-blocking, waiting on libsrt's epoll: a listener accepts callers
 * (the newest replaces the one connected, so that a caller that restarted
 * is back at once rather than after the old connection's time-out); a
 * caller or rendezvous peer connects, and after a failure or the loss of
 * its connection tries again at once, then after a back-off of 0.25 s
 * doubling up to SRT_LINK_BACKOFF_MAX_MS. What happens is reported
 * (srt_link_report), on the link's thread or on libsrt's: the owner words
 * it. A listener learns why libsrt refused a caller (wrong passphrase,
 * none where one is required) from libsrt's log, which the links route
 * through a handler of their own; each refusal is told once.
 *
 * srt_in.h and srt_out.h put a link behind the UDP input's ring and the
 * paced sender; this header gives the types they report with.
 */
#ifndef KESTROW_NET_SRT_LINK_H
#define KESTROW_NET_SRT_LINK_H

#include <cstdint>

#include "net/srt_addr.h"

#define SRT_LINK_BACKOFF_MIN_MS 250
#define SRT_LINK_BACKOFF_MAX_MS 4000
#define SRT_LINK_STATS_MS       1000   // counters reported this often

enum srt_link_change {
    SRT_LINK_CONNECTED,   // a peer is connected (peer)
    SRT_LINK_LEFT,        // the connection ended (peer, reason, connected_ms)
    SRT_LINK_REPLACED,    // a listener's caller (peer) gave way to a new one (other)
    SRT_LINK_REFUSED,     // a listener refused a caller (peer, why, reason)
    SRT_LINK_FAILED,      // an attempt to connect failed (why, reason, attempts, retry_ms)
    SRT_LINK_STATS,       // the counters, every SRT_LINK_STATS_MS
};

/* Why a connection was refused or failed. */
enum srt_link_why {
    SRT_WHY_OTHER,        // see reason
    SRT_WHY_PASSPHRASE,   // both encrypt, with different passphrases
    SRT_WHY_ENCRYPTION,   // one side encrypts, the other does not
    SRT_WHY_STREAMID,     // a listener's stream id differs from the caller's
    SRT_WHY_TIMEOUT,      // no answer within the connection time-out
    SRT_WHY_PEER,         // the peer refused for a reason of its own (reason)
    SRT_WHY_SYSTEM,       // a socket call failed (reason)
};

/* Counts since create, summed over the connections; the gauges are the current connection's. */
struct srt_link_stats {
    int connected;            // 1 while a peer is connected
    char peer[64];            // its address; "" without
    int64_t connections;      // made
    int64_t refused;          // callers refused (listener) or attempts refused or failed (caller)
    int64_t rtt_us;           // round-trip time; 0 without a connection
    int64_t packets;          // data packets received (input) or sent (output), unique
    int64_t lost;             // input: found missing (and asked again); output: reported lost by the peer
    int64_t retransmitted;    // input: retransmissions received; output: retransmissions sent
    int64_t dropped;          // too late to play (input) or to send (output): lost for good
    int64_t buffer_ms;        // data in the receive (input) or unacknowledged send (output) buffer, ms
    int64_t buffer_bytes;
    int64_t latency_ms;       // the TSBPD latency agreed; 0 without a connection
    int64_t undecrypted;      // input: packets that could not be decrypted
    int64_t unsent;           // output: datagrams not handed to SRT (no peer, send buffer full);
                              // input: messages read while no ring was attached
};

struct srt_link_report {
    int change;               // srt_link_change
    int why;                  // srt_link_why (REFUSED, FAILED, LEFT)
    char peer[64];            // the peer concerned ("" when unknown)
    char other[64];           // REPLACED: the new caller
    char reason[160];         // the library's words
    int64_t attempts;         // FAILED: attempts that failed in a row
    int64_t retry_ms;         // FAILED: the next attempt in
    int64_t connected_ms;     // LEFT: how long the connection lasted
    srt_link_stats stats;
};

typedef void (*srt_link_report_fn)(void *opaque, const srt_link_report *report);

/* ------------------------------------------------------------------------ */
/* The links' own interface, for srt_in.cpp and srt_out.cpp. */

struct srt_link;

struct srt_link_config {
    const srt_endpoint *ep;
    int sender;               // 1: the output (data is sent); 0: the input
    srt_link_report_fn on_report;  // may be null; called on the link's or libsrt's threads
    void *opaque;
    /* Input: called on the link's thread when socket s has messages to read. */
    void (*readable)(void *hook_opaque, int s);
    void *hook_opaque;
};

/*
 * Opens the endpoint (a listener binds and listens at once; -EADDRINUSE and
 * the like are returned here) and starts the link's thread. 0; -EINVAL;
 * -ENOENT for a host that does not resolve; a negative errno. *out null on
 * failure.
 */
int srt_link_create(srt_link **out, const srt_link_config *config);

/* The socket data goes through now; -1 without a connection. Any thread. */
int srt_link_socket(srt_link *link);

/* Adds n to the unsent count. Any thread. */
void srt_link_count_unsent(srt_link *link, int64_t n);

/* Copies the counters (with the current connection's). 0; -EINVAL. Any thread. */
int srt_link_get_stats(srt_link *link, srt_link_stats *stats);

/* Closes every socket, joins the thread and frees; *p null. 0 or -EINVAL. */
int srt_link_destroy(srt_link **p);

#endif
