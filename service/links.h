/*
 * What the channel's addresses name beyond plain UDP: the SRT input and
 * output (net/srt_in.h, net/srt_out.h), kept across the stream sessions so
 * that a session's end does not drop the peer, and the RTP input's
 * reorderer (net/rtp_in.h), one per session like the UDP socket. The
 * session gets its receiver's ring and its sender's configuration here;
 * what the links report becomes log lines and the channel's status.
 */
#ifndef KESTROW_SERVICE_LINKS_H
#define KESTROW_SERVICE_LINKS_H

#include <cstddef>

struct app_ctx;
struct slicer_links;
struct udp_in;
struct udp_in_config;
struct udp_out_config;

/*
 * The name of a live address in log lines: "udp://HOST:PORT",
 * "rtp://HOST:PORT", or the srt:// address with its passphrase masked.
 */
void slicer_links_name(const char *addr, char *buf, size_t size);

/*
 * The links of app's addresses; the SRT ones are opened at once where they
 * can be (a listener takes callers from the start), the others by the
 * sessions that need them. 0; -EINVAL for an address the options should
 * have refused; -ENOMEM.
 */
int slicer_links_create(app_ctx *app, slicer_links **out);

/*
 * The session's receiver on config (whose addr is the option's text): a UDP
 * one, an RTP one feeding its ring in sequence order, or a ring the SRT
 * input feeds (opened here if it is not yet, then kept). 0, or
 * the negative errno of what failed; *out null then.
 */
int slicer_links_receiver(slicer_links *l, const udp_in_config *config, udp_in **out);

/* The same for the backup input (--backup-src-addr); -EINVAL without one. */
int slicer_links_backup_receiver(slicer_links *l, const udp_in_config *config, udp_in **out);
void slicer_links_backup_close(slicer_links *l, udp_in **src);

/* Closes the session's receiver (*src null after); the SRT input stays. */
void slicer_links_receiver_close(slicer_links *l, udp_in **src);

/*
 * Fits the sender's configuration to the destination: the address after
 * its scheme, RTP for rtp://, the SRT output's hook for srt:// (opened here
 * if it is not yet). 0, or the negative errno of the SRT output.
 */
int slicer_links_sender(slicer_links *l, udp_out_config *config);

/* Closes the SRT links and frees; *p null. */
void slicer_links_destroy(slicer_links **p);

#endif
