#include "ts/ts_psi.h"

int ts_psi_section_total(const uint8_t *sec)
{
    return 3 + (((sec[1] & 0x0F) << 8) | sec[2]);
}

int ts_psi_finish(uint8_t *sec, int len)
{
    int section_length = len + 4 - 3;
    sec[1] = (uint8_t)((sec[1] & 0xF0) | (section_length >> 8));
    sec[2] = (uint8_t)section_length;
    uint32_t crc = mpegts_crc32(sec, len);
    sec[len] = (uint8_t)(crc >> 24);
    sec[len + 1] = (uint8_t)(crc >> 16);
    sec[len + 2] = (uint8_t)(crc >> 8);
    sec[len + 3] = (uint8_t)crc;
    return len + 4;
}
