#include "ts/ts_psi.h"

#include <cstring>

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

int ts_psi_valid(const uint8_t *sec, int len, int table_id, int min_len)
{
    return sec[0] == table_id && len >= min_len && (sec[1] & 0x80) && (sec[5] & 0x01) &&
           mpegts_crc32(sec, len) == 0;
}

static int64_t pes_stamp(const uint8_t *b)
{
    return ((int64_t)((b[0] >> 1) & 7) << 30) | (b[1] << 22) | ((b[2] >> 1) << 15) | (b[3] << 7) | (b[4] >> 1);
}

/* ts_pes_start_dts past its unit start test. */
int64_t ts_pes_header_dts(const uint8_t *p)
{
    int off = ts_payload_offset(p);
    if (!(p[1] & 0x40) || off < 0 || off + 19 > TS_PACKET_SIZE)
        return -1;
    const uint8_t *h = p + off;
    if (h[0] != 0 || h[1] != 0 || h[2] != 1 || (h[6] & 0xC0) != 0x80)
        return -1;
    int flags = h[7] >> 6;
    if (flags == 3)
        return pes_stamp(h + 14);
    return flags == 2 ? pes_stamp(h + 9) : -1;
}

static void psi_take(ts_psi_buf *b, const uint8_t *p, int len, ts_psi_fn done, void *opaque)
{
    while (len > 0 && b->active) {
        if (b->len == 0 && p[0] == 0xFF) {
            b->active = 0;  // stuffing up to the next payload_unit_start
            return;
        }
        int want = b->len < 3 ? 3 : ts_psi_section_total(b->data);
        int n = want - b->len < len ? want - b->len : len;
        memcpy(b->data + b->len, p, n);
        b->len += n;
        p += n;
        len -= n;
        if (b->len >= 3 && b->len == ts_psi_section_total(b->data)) {
            done(opaque, b->pid, b->data, b->len);
            b->len = 0;
        }
    }
}

void ts_psi_feed(ts_psi_buf *b, const uint8_t *p, int len, int unit_start, ts_psi_fn done, void *opaque)
{
    if (unit_start) {
        int pointer = p[0];
        if (1 + pointer > len) {
            b->active = 0;
            b->len = 0;
            return;
        }
        if (b->active && b->len > 0)
            psi_take(b, p + 1, pointer, done, opaque);  // the end of the previous section
        b->active = 1;
        b->len = 0;
        p += 1 + pointer;
        len -= 1 + pointer;
    }
    psi_take(b, p, len, done, opaque);
}
