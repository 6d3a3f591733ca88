/*
 * PSI section helpers shared by the input filter and the output stage
 * (ISO/IEC 13818-1 sections and packets).
 */
#ifndef KESTROW_PIPELINE_TS_PSI_H
#define KESTROW_PIPELINE_TS_PSI_H

#include <cstdint>

#define TS_PACKET_SIZE 188
#define TS_SYNC_BYTE   0x47
#define TS_PID_COUNT   8192
#define TS_NULL_PID    0x1FFF

#define PMT_STREAM_TYPE_SCTE35 0x86
#define DESC_REGISTRATION      0x05

/* CRC-32 of MPEG-2 sections: polynomial 0x04C11DB7, MSB first, initial value
 * 0xFFFFFFFF, no final XOR; a section followed by its CRC_32 gives 0. */
uint32_t ts_psi_crc32(const uint8_t *p, int len);

/* Whole length of the section at sec (3 + section_length); sec holds >= 3 bytes. */
int ts_psi_section_total(const uint8_t *sec);

/*
 * Completes a long-form section of which the first len bytes are written
 * (header and body, no CRC): sets section_length, keeping the flags in the
 * high bits of byte 1, and appends CRC_32. Returns the whole length, len + 4.
 */
int ts_psi_finish(uint8_t *sec, int len);

/* PID of a TS packet. */
static inline int ts_pid(const uint8_t *pkt)
{
    return ((pkt[1] & 0x1F) << 8) | pkt[2];
}

#endif
