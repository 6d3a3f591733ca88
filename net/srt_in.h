/*
 * SRT input (srt://...): a link (net/srt_link.h) whose messages go into the
 * ring of a udp_in made without a socket (udp_in_config.fed), as the UDP
 * receiver's datagrams do: the demuxer, the input's watch and the relay
 * see no difference. libsrt delivers each message at its sender's time
 * plus the latency (TSBPD), so the ring fills at the source's own pace.
 *
 * The input outlives the sessions: the connection stays while sessions
 * come and go, each attaching its ring; what arrives while none is
 * attached is dropped (counted as unsent).
 */
#ifndef KESTROW_NET_SRT_IN_H
#define KESTROW_NET_SRT_IN_H

#include "net/srt_link.h"

struct srt_in;
struct udp_in;

/* Opens the endpoint and starts its link (srt_link_create's results). */
int srt_in_create(srt_in **out, const srt_endpoint *ep, srt_link_report_fn on_report, void *opaque);

/* Messages go into ring from now on (a fed udp_in); null: nowhere. 0 or -EINVAL. */
int srt_in_attach(srt_in *in, udp_in *ring);

/* The link's counters. 0 or -EINVAL. */
int srt_in_get_stats(srt_in *in, srt_link_stats *stats);

/* Closes the link and frees; *p null. 0 or -EINVAL. */
int srt_in_destroy(srt_in **p);

#endif
