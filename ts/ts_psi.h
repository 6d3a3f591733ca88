/*
 * PSI section helpers shared by the input filter and the output stage
 * (ISO/IEC 13818-1 sections and packets): section lengths and CRC, the
 * gathering of sections from the payloads of one PID, the payload of a
 * packet and the timestamp of a PES header.
 */
#ifndef KESTROW_TS_TS_PSI_H
#define KESTROW_TS_TS_PSI_H

#include <cstdint>

#include "common/mpegts.h"


#define PMT_STREAM_TYPE_SCTE35 0x86
#define DESC_REGISTRATION      0x05
#define DESC_CA                0x09
#define TS_PSI_MAX             (3 + 4095)   // 12-bit section_length

/* Whole length of the section at sec (3 + section_length); sec holds >= 3 bytes. */
int ts_psi_section_total(const uint8_t *sec);

/*
 * Completes a long-form section of which the first len bytes are written
 * (header and body, no CRC): sets section_length, keeping the flags in the
 * high bits of byte 1, and appends CRC_32. Returns the whole length, len + 4.
 */
int ts_psi_finish(uint8_t *sec, int len);

/* 1 for a long-form section of table_id that is current, at least min_len
 * bytes long and whose CRC_32 holds; else 0. */
int ts_psi_valid(const uint8_t *sec, int len, int table_id, int min_len);

/* Where the payload of packet p starts, or -1 when it has none (no payload,
 * transport_error_indicator set, or an adaptation field that fills it).
 * Inline: the filter and the output stage ask it of every packet. */
static inline int ts_payload_offset(const uint8_t *p)
{
    if ((p[1] & 0x80) || !(p[3] & 0x10))
        return -1;
    int off = (p[3] & 0x20) ? 5 + p[4] : 4;
    return off < TS_PACKET_SIZE ? off : -1;
}

/* The timestamp of the PES header packet p starts, not asking first whether it starts one. */
int64_t ts_pes_header_dts(const uint8_t *p);

/*
 * The DTS (else the PTS) of the PES header that starts in packet p, in
 * 90 kHz ticks, or -1 when no PES with a timestamp starts there. Inline as
 * far as the unit start: most packets start none.
 */
static inline int64_t ts_pes_start_dts(const uint8_t *p)
{
    return (p[1] & 0x40) ? ts_pes_header_dts(p) : -1;
}

typedef void (*ts_psi_fn)(void *opaque, int pid, const uint8_t *sec, int len);

/* Gathers the PSI sections of one PID; pid -1: a free gatherer. */
struct ts_psi_buf {
    int pid;
    int active;      // 1 between a payload_unit_start and stuffing or a loss
    int len;
    uint8_t data[TS_PSI_MAX];
};

/*
 * Takes the payload (len bytes) of one packet of b's PID; unit_start: its
 * payload_unit_start_indicator. Calls done(opaque, b->pid, section, length)
 * for each section completed; a section is complete by its section_length
 * (its CRC is the callee's to check). Stuffing ends the packet's sections.
 */
void ts_psi_feed(ts_psi_buf *b, const uint8_t *p, int len, int unit_start, ts_psi_fn done, void *opaque);

#endif
