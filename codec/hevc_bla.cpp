/*
 * HEVC broken links at splice points.
 */
#include "codec/hevc_bla.h"

extern "C" {
#include <libavcodec/packet.h>
}

int hevc_broken_link(AVPacket *pkt)
{
    const int cra = 21, bla_w_lp = 16;
    auto is_cra = [&](int i) {
        const uint8_t *p = pkt->data + i;
        return !p[0] && !p[1] && p[2] == 1 && ((p[3] >> 1) & 0x3F) == cra;
    };
    int first = 0;

    while (first + 3 < pkt->size && !is_cra(first))
        first++;
    if (first + 3 >= pkt->size)
        return 0;
    int ret = av_packet_make_writable(pkt);  // the filler's packets share the store's buffers
    if (ret < 0)
        return ret;
    for (int i = first; i + 3 < pkt->size; i++)
        if (is_cra(i))
            pkt->data[i + 3] = (uint8_t)((pkt->data[i + 3] & 0x81) | bla_w_lp << 1);
    return 0;
}
