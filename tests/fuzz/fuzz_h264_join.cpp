// libFuzzer target for the H.264 joiner. The input's first byte says before
// which packets a switch comes (its low four bits for the key frames, bit
// k % 4 for the k-th one; its high four for the other packets); the rest is
// an H.264 byte stream, cut into packets at its access unit delimiters, a
// packet with a sequence parameter set flagged as a key frame. Besides the sanitizers,
// the check below catches a rewrite that adds or loses a start code (an
// escaping fault would split or merge NAL units for every decoder).
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/packet.h>
#include <libavutil/log.h>
}

#include "codec/h264_join.h"

namespace {

bool start_code(const uint8_t *p, const uint8_t *end)
{
    return end - p >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1;
}

size_t count_start_codes(const uint8_t *p, size_t n, int nal_type = -1)
{
    size_t count = 0;
    for (const uint8_t *q = p; q + 3 < p + n; q++)
        count += start_code(q, p + n) && (nal_type < 0 || (q[3] & 0x1F) == nal_type);
    return count;
}

/* The next access unit delimiter after p, or end. */
const uint8_t *next_aud(const uint8_t *p, const uint8_t *end)
{
    for (const uint8_t *q = p + 1; q + 3 < end; q++)
        if (start_code(q, end) && (q[3] & 0x1F) == 9)
            return q;
    return end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    av_log_set_level(AV_LOG_QUIET);
    h264_join j;
    h264_join_init(&j);
    AVPacket *pkt = av_packet_alloc();
    const uint8_t *p = data + 1, *end = data + size;
    for (int i = 0, k = 0; pkt && p < end; i++) {
        const uint8_t *q = next_aud(p, end);
        if (av_new_packet(pkt, (int)(q - p)) < 0)
            break;
        memcpy(pkt->data, p, (size_t)(q - p));
        pkt->flags = count_start_codes(p, (size_t)(q - p), 7) ? AV_PKT_FLAG_KEY : 0;
        if (pkt->flags ? (data[0] >> (k++ % 4)) & 1 : (data[0] >> (4 + i % 4)) & 1)
            h264_join_switch(&j);
        size_t before = count_start_codes(pkt->data, (size_t)pkt->size);
        if (h264_join_packet(&j, pkt) == 0 && count_start_codes(pkt->data, (size_t)pkt->size) != before)
            abort();
        av_packet_unref(pkt);
        p = q;
    }
    av_packet_free(&pkt);
    h264_join_uninit(&j);
    return 0;
}
