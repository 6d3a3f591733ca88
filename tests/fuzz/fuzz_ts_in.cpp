// libFuzzer target for the input filter (ts/ts_in.cpp): its PAT, PMT and CAT
// reader, the choice of programme, the "CUEI" rewriting and the passthrough
// copy, read through the filter's AVIOContext as the demuxer reads it. The
// first byte of the input chooses the source's read size, whether the
// programme goes out alone, and whether the sections that start and end in
// one packet get their CRC_32 made right (so that mutated tables reach the
// reader instead of failing their CRC); the second the program_number asked
// for (0: none). The rest is the transport stream. Besides the sanitizers,
// the checks catch what the demuxer must never see (anything but whole
// packets) and an identity outside its ranges.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "common/mpegts.h"
#include "ts/ts_in.h"

namespace {

struct source {
    const uint8_t *data;
    size_t size, at, chunk;
};

int read_source(void *opaque, uint8_t *buf, int size)
{
    source *s = (source *)opaque;
    if (s->at >= s->size)
        return AVERROR_EOF;
    size_t n = s->size - s->at;
    n = n < (size_t)size ? n : (size_t)size;
    n = n < s->chunk ? n : s->chunk;
    memcpy(buf, s->data + s->at, n);
    s->at += n;
    return (int)n;
}

/* Rewrites the CRC_32 of each section that starts and ends within one packet. */
void fix_crcs(std::vector<uint8_t> *ts)
{
    for (size_t p = 0; p + TS_PACKET_SIZE <= ts->size(); p += TS_PACKET_SIZE) {
        uint8_t *pkt = ts->data() + p;
        if (pkt[0] != TS_SYNC_BYTE || !(pkt[1] & 0x40) || !(pkt[3] & 0x10))
            continue;
        int off = 4 + ((pkt[3] & 0x20) ? 1 + pkt[4] : 0);
        if (off >= TS_PACKET_SIZE)
            continue;
        off += 1 + pkt[off];  // pointer_field
        if (off + 3 > TS_PACKET_SIZE || pkt[off] == 0xFF)
            continue;
        int len = 3 + (((pkt[off + 1] & 0x0F) << 8) | pkt[off + 2]);
        if (len < 8 || off + len > TS_PACKET_SIZE)
            continue;
        uint32_t crc = mpegts_crc32(pkt + off, len - 4);
        for (int i = 0; i < 4; i++)
            pkt[off + len - 4 + i] = (uint8_t)(crc >> (24 - 8 * i));
    }
}

void check_identity(const ts_identity &id)
{
    if (id.es_count < 0 || id.programme_count < 0 || id.programme_count > TS_IN_MAX_PROGRAMS ||
        id.chosen < TS_CHOSEN_NONE || id.chosen > TS_CHOSEN_FIRST || id.pmt_pid >= TS_PID_COUNT ||
        id.pcr_pid >= TS_PID_COUNT)
        abort();
    for (int i = 0; i < id.programme_count; i++)
        if (id.pmt_pids[i] < 0 || id.pmt_pids[i] >= TS_PID_COUNT || id.numbers[i] <= 0 || id.numbers[i] > 65535)
            abort();
    int kept = id.es_count < TS_IN_MAX_ES ? id.es_count : TS_IN_MAX_ES;
    for (int i = 0; i < kept; i++)
        if (id.es[i].pid < 0 || id.es[i].pid >= TS_PID_COUNT || id.es[i].stream_type < 0 || id.es[i].stream_type > 255)
            abort();
    if (id.chosen != TS_CHOSEN_NONE && (id.program_number <= 0 || id.pmt_pid < 0))
        abort();
}

/*
 * Reads what the demuxer would, up to the end: whole packets only. Once the
 * programme is chosen its streams are relayed, as the relay says after the
 * probe. Returns the packets read.
 */
int64_t drain(ts_in *f, int64_t *bytes)
{
    uint8_t buf[TS_PACKET_SIZE * 7];
    int64_t packets = 0;
    bool started = false;
    for (;;) {
        int n = avio_read(ts_in_pb(f), buf, sizeof(buf));
        if (n <= 0)
            return packets;
        *bytes += n;
        for (int i = 0; i + TS_PACKET_SIZE <= n; i += TS_PACKET_SIZE, packets++)
            if (buf[i] != TS_SYNC_BYTE)
                abort();
        ts_identity id;
        if (ts_in_get_identity(f, &id) < 0)
            abort();
        check_identity(id);
        if (!started && id.chosen != TS_CHOSEN_NONE && packets > 100) {
            int relayed[TS_IN_MAX_ES];
            int count = id.es_count < TS_IN_MAX_ES ? id.es_count : TS_IN_MAX_ES;
            for (int k = 0; k < count; k++)
                relayed[k] = id.es[k].pid;
            // Refused only when the PAT no longer lists the programme chosen.
            bool listed = false;
            for (int k = 0; k < id.programme_count; k++)
                listed |= id.numbers[k] == id.program_number && id.pmt_pids[k] == id.pmt_pid;
            if (ts_in_start_pass(f, relayed, count) < 0 && listed)
                abort();
            started = true;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int flags = data[0], program = data[1];
    std::vector<uint8_t> ts(data + 2, data + size);
    if (flags & 0x80)
        fix_crcs(&ts);
    static const size_t chunks[] = {188, 1316, 7 * 188 + 13, 65536};
    source src = {ts.data(), ts.size(), 0, chunks[flags & 3]};

    ts_in *f = nullptr;
    if (ts_in_open(&f, read_source, &src, 1316) < 0)
        abort();
    if (ts_in_set_pass(f, program, (flags >> 2) & 1, 64) < 0)
        abort();
    int64_t bytes = 0;
    int64_t packets = drain(f, &bytes);

    ts_identity id;
    ts_in_stats st;
    if (ts_in_get_identity(f, &id) < 0 || ts_in_get_stats(f, &st) < 0)
        abort();
    check_identity(id);
    if (bytes != packets * TS_PACKET_SIZE || packets > st.packets ||
        st.packets * TS_PACKET_SIZE + st.bytes_skipped > (int64_t)ts.size())
        abort();
    ts_in_close(&f);
    return 0;
}
