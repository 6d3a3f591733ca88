/*
 * PSI section helpers shared by the input filter and the output stage
 * (ISO/IEC 13818-1 sections and packets).
 */
#ifndef KESTROW_TS_TS_PSI_H
#define KESTROW_TS_TS_PSI_H

#include <cstdint>

#include "common/mpegts.h"


#define PMT_STREAM_TYPE_SCTE35 0x86
#define DESC_REGISTRATION      0x05

/* Whole length of the section at sec (3 + section_length); sec holds >= 3 bytes. */
int ts_psi_section_total(const uint8_t *sec);

/*
 * Completes a long-form section of which the first len bytes are written
 * (header and body, no CRC): sets section_length, keeping the flags in the
 * high bits of byte 1, and appends CRC_32. Returns the whole length, len + 4.
 */
int ts_psi_finish(uint8_t *sec, int len);

#endif
