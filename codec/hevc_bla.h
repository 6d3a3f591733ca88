/*
 * HEVC switched onto a CRA picture: its NAL units become BLA_W_LP, the type
 * the format has for a link that splicing broke. The decoder starts afresh
 * there (picture order count, the pictures leading it skipped) instead of
 * deriving them from the other source's pictures.
 */
#ifndef KESTROW_CODEC_HEVC_BLA_H
#define KESTROW_CODEC_HEVC_BLA_H

struct AVPacket;

/*
 * Rewrites every CRA NAL unit of pkt (Annex B) as BLA_W_LP. The packet is
 * made writable first (filler packets share the store's buffers). 0, also
 * for a packet without a CRA picture; AVERROR(ENOMEM) with the packet as it
 * was.
 */
int hevc_broken_link(AVPacket *pkt);

#endif
