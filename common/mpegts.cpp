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
