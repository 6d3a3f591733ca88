#include "common/mpegts.h"

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

uint32_t mpegts_crc32(const uint8_t *p, int len)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (int i = 0; i < len; i++)
        crc = (crc << 8) ^ crc_mpeg2.v[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

int64_t ts_packet_pcr(const uint8_t *p)
{
    if (p[0] != TS_SYNC_BYTE || !(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10))
        return -1;
    int64_t base = ((int64_t)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
    return base * 300 + (((p[10] & 1) << 8) | p[11]);
}
