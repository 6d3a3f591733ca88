/*
 * A channel with two sources (--backup-src-addr): the backup's receiver
 * beside the main's, the merge of both (net/input_merge.h) into the ring
 * the session reads, and what the merge reports: a line and an as-run
 * record per switch, each input's health into the channel status.
 */
#ifndef KESTROW_SERVICE_SOURCES_H
#define KESTROW_SERVICE_SOURCES_H

#include <cstdint>

struct app_ctx;
struct slicer_links;
struct slicer_sources;
struct udp_in;
struct udp_in_config;
struct udp_in_stats;

/*
 * With a backup address: takes *src (the main's receiver, opened on
 * config), opens the backup's on the same configuration with the backup's
 * address, and a ring both are merged into, which replaces *src (config's
 * watcher goes to it: the main's own is left out). 0; the errno of what
 * failed, *src closed and null then.
 */
int slicer_sources_open(app_ctx *app, slicer_links *links, const udp_in_config *config, udp_in **src,
                        slicer_sources **out);

/* Non-zero while the merge switches to an input that will bring the programme (0 without sources). */
int slicer_sources_switching(slicer_sources *s);

/* How many switches cut to another stream at its key frame so far; 0 without sources. */
int64_t slicer_sources_cuts(slicer_sources *s);

/* Adds both receivers' overruns and kernel drops to *st (the merged ring's); nothing without sources. */
void slicer_sources_add_stats(slicer_sources *s, udp_in_stats *st);

/* Stops the merge, closes both receivers and the merged ring (*src null). */
void slicer_sources_close(slicer_sources **p, slicer_links *links, udp_in **src);

#endif
