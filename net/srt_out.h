/*
 * SRT output (srt://...): the paced UDP sender's datagrams (udp_out with
 * udp_out_config.send set to srt_out_send) leave as SRT messages of
 * 1316 bytes, one per datagram, through a link (net/srt_link.h).
 *
 * The two pacings stack: the sender hands each datagram over at the time
 * its PCRs say, and libsrt in live mode stamps it then and sends it at
 * once (its own pacing only caps the rate: maxbw, or the input rate plus
 * oheadbw); the peer's TSBPD plays each message out at its stamp plus the
 * latency, so that what leaves the peer keeps the PCRs' pace, late by the
 * latency, and losses are retransmitted meanwhile. Nothing waits on SRT:
 * the send is non-blocking, and a datagram with no peer connected or no
 * room in the send buffer is dropped and counted (unsent).
 *
 * The output outlives the sessions, as the input does.
 */
#ifndef KESTROW_NET_SRT_OUT_H
#define KESTROW_NET_SRT_OUT_H

#include <cstdint>

#include "net/srt_link.h"

struct srt_out;

/* Opens the endpoint and starts its link (srt_link_create's results). */
int srt_out_create(srt_out **out, const srt_endpoint *ep, srt_link_report_fn on_report, void *opaque);

/*
 * The sender's hook (udp_out_config.send), opaque the srt_out: one message
 * to the connected peer. 0 when sent or dropped for want of a peer;
 * -ENOBUFS with the send buffer full; -EPIPE when the connection failed
 * under it; -EINVAL. Never blocks, never throws.
 */
int srt_out_send(void *opaque, const uint8_t *data, int len);

/* The link's counters. 0 or -EINVAL. */
int srt_out_get_stats(srt_out *out, srt_link_stats *stats);

/* Closes the link and frees; *p null. 0 or -EINVAL. */
int srt_out_destroy(srt_out **p);

#endif
