#include "common/mpegts.h"

#include <cstring>

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

int64_t ts_gather_feed(ts_gather *g, const uint8_t *buf, int size, bool resync, ts_gather_fn fn, void *opaque)
{
    const uint8_t *p = buf;
    int left = size;
    int64_t skipped = 0;
    while (left > 0) {
        if (g->len == 0) {
            if (resync && p[0] != TS_SYNC_BYTE) {
                const uint8_t *sync = (const uint8_t *)memchr(p, TS_SYNC_BYTE, left);
                int skip = sync ? (int)(sync - p) : left;
                skipped += skip;
                p += skip;
                left -= skip;
                continue;
            }
            if (left >= TS_PACKET_SIZE) {
                fn(opaque, p);
                p += TS_PACKET_SIZE;
                left -= TS_PACKET_SIZE;
                continue;
            }
        }
        int n = TS_PACKET_SIZE - g->len < left ? TS_PACKET_SIZE - g->len : left;
        memcpy(g->partial + g->len, p, n);
        g->len += n;
        p += n;
        left -= n;
        if (g->len == TS_PACKET_SIZE) {
            g->len = 0;
            fn(opaque, g->partial);
        }
    }
    return skipped;
}
