#include "pipeline/ts_psi.h"

namespace {

struct crc_table {
    uint32_t v[256];
    constexpr crc_table() : v()
    {
        for (uint32_t i = 0; i < 256; i++) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; k++)
                c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            v[i] = c;
        }
    }
};
constexpr crc_table crc_mpeg2{};

}  // namespace

uint32_t ts_psi_crc32(const uint8_t *p, int len)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < len; i++)
        crc = (crc << 8) ^ crc_mpeg2.v[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

int ts_psi_section_total(const uint8_t *sec)
{
    return 3 + (((sec[1] & 0x0F) << 8) | sec[2]);
}

int ts_psi_finish(uint8_t *sec, int len)
{
    int section_length = len + 4 - 3;
    sec[1] = (uint8_t)((sec[1] & 0xF0) | (section_length >> 8));
    sec[2] = (uint8_t)section_length;
    uint32_t crc = ts_psi_crc32(sec, len);
    sec[len] = (uint8_t)(crc >> 24);
    sec[len + 1] = (uint8_t)(crc >> 16);
    sec[len + 2] = (uint8_t)(crc >> 8);
    sec[len + 3] = (uint8_t)crc;
    return len + 4;
}
