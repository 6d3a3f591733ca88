/*
 * What every layer knows of MPEG-2 transport streams (ISO/IEC 13818-1):
 * the packet size, the PID of a packet, its PCR, and the CRC-32 of
 * sections.
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

/* PID of a TS packet. */
static inline int ts_pid(const uint8_t *pkt)
{
    return ((pkt[1] & 0x1F) << 8) | pkt[2];
}

/* 27 MHz PCR of a TS packet's adaptation field, or -1 when it carries none. */
int64_t ts_packet_pcr(const uint8_t *pkt);

/*
 * CRC-32 of MPEG-2 sections: polynomial 0x04C11DB7, MSB first, initial value
 * 0xFFFFFFFF, no final XOR; a section followed by its CRC_32 gives 0.
 */
uint32_t mpegts_crc32(const uint8_t *p, int len);

#endif
