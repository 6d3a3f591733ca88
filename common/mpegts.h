/*
 * What every layer knows of MPEG-2 transport streams (ISO/IEC 13818-1):
 * the packet size, the PID of a packet, its PCR, the CRC-32 of sections,
 * and the arithmetic of the two clocks that wrap (timestamps at 90 kHz
 * modulo 2^33, PCRs at 27 MHz modulo 300 * 2^33). Every wrap in the tree is
 * taken through these.
 */
#ifndef KESTROW_COMMON_MPEGTS_H
#define KESTROW_COMMON_MPEGTS_H

#include <cstdint>

#define TS_PACKET_SIZE 188
#define TS_SYNC_BYTE   0x47
#define TS_PID_COUNT   8192
#define TS_NULL_PID    0x1FFF
#define TS_PCR_WRAP    ((int64_t)300 << 33)  // 27 MHz ticks after which a PCR starts again at 0
#define TS_PTS_WRAP    ((int64_t)1 << 33)    // 90 kHz ticks after which a PTS or DTS starts again at 0

/* t modulo wrap, 0 to wrap - 1. */
static inline int64_t ts_wrap_mod(int64_t t, int64_t wrap)
{
    int64_t m = t % wrap;
    return m < 0 ? m + wrap : m;
}

/* a - b modulo wrap, in [-wrap / 2, wrap / 2): how far a lies after b on a clock that wraps. */
static inline int64_t ts_wrap_diff(int64_t a, int64_t b, int64_t wrap)
{
    int64_t d = ts_wrap_mod(ts_wrap_mod(a, wrap) - ts_wrap_mod(b, wrap), wrap);
    return d >= wrap / 2 ? d - wrap : d;
}

/* A 90 kHz time as the stream carries it: t modulo 2^33, 0 to 2^33 - 1. */
static inline int64_t ts_pts_wrap(int64_t t)
{
    return ts_wrap_mod(t, TS_PTS_WRAP);
}

/* a - b of two 90 kHz times modulo 2^33, in [-2^32, 2^32). */
static inline int64_t ts_pts_diff(int64_t a, int64_t b)
{
    return ts_wrap_diff(a, b, TS_PTS_WRAP);
}

/*
 * The value congruent to t modulo 2^33 nearest ref, in [ref - 2^32,
 * ref + 2^32): a 33-bit time unwrapped onto ref's time line.
 */
static inline int64_t ts_pts_nearest(int64_t t, int64_t ref)
{
    return ref + ts_pts_diff(t, ref);
}

/* A 27 MHz time modulo 300 * 2^33, 0 to TS_PCR_WRAP - 1. */
static inline int64_t ts_pcr_wrap(int64_t t)
{
    return ts_wrap_mod(t, TS_PCR_WRAP);
}

/* a - b of two 27 MHz times modulo 300 * 2^33, in [-TS_PCR_WRAP / 2, TS_PCR_WRAP / 2). */
static inline int64_t ts_pcr_diff(int64_t a, int64_t b)
{
    return ts_wrap_diff(a, b, TS_PCR_WRAP);
}

/* PID of a TS packet. */
static inline int ts_pid(const uint8_t *pkt)
{
    return ((pkt[1] & 0x1F) << 8) | pkt[2];
}

/* 27 MHz PCR of a TS packet's adaptation field, or -1 when it carries none (asked of every packet, twice). */
static inline int64_t ts_packet_pcr(const uint8_t *p)
{
    if (p[0] != TS_SYNC_BYTE || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10))
        return -1;
    int64_t base = ((int64_t)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
    return base * 300 + (((p[10] & 1) << 8) | p[11]);
}

/*
 * CRC-32 of MPEG-2 sections: polynomial 0x04C11DB7, MSB first, initial value
 * 0xFFFFFFFF, no final XOR; a section followed by its CRC_32 gives 0.
 */
uint32_t mpegts_crc32(const uint8_t *p, int len);

/* Whole packets gathered from writes of any size (a muxer's AVIO writes): a piece waits for the rest. */
struct ts_gather {
    uint8_t partial[TS_PACKET_SIZE];
    int len;                 // bytes of the piece held
};

typedef void (*ts_gather_fn)(void *opaque, const uint8_t *pkt);

/*
 * Hands each whole packet of what g holds followed by buf (size bytes) to
 * fn, in order, straight from buf where it lies whole; what is left of a
 * packet stays in g. With resync, bytes that do not begin with the sync
 * byte where a packet would begin are skipped. Returns the bytes skipped.
 */
int64_t ts_gather_feed(ts_gather *g, const uint8_t *buf, int size, bool resync, ts_gather_fn fn, void *opaque);

#endif
