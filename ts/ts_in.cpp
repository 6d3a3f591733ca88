/*
 * MPEG-TS input filter: adds "CUEI" to PMTs that declare SCTE 35 without it,
 * and records the PAT/PMT identity of the first programme.
 *
 * Bytes read from the source are staged; whole TS packets are examined and
 * rewritten in place, and what precedes an incomplete packet at the end of
 * the stage is handed to the demuxer. The incomplete rest waits for the next
 * read (UDP datagrams hold whole packets, so on air nothing waits).
 */
#include "ts/ts_in.h"
#include "ts/ts_psi.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

struct ts_in {
    AVIOContext *pb;          // the demuxer reads here
    AVIOContext *source;      // opened by ts_in_open_url; null otherwise
    ts_in_read_fn read;
    void *opaque;
    uint8_t *stage;           // buffer_size + one packet
    int cap;
    int len;                  // bytes staged
    int ready;                // [0, ready) examined, handed out from pos
    int pos;
    int eof;
    uint32_t pat_crc;         // CRC_32 of the last PAT taken; 0: none
    uint8_t is_pmt[TS_PID_COUNT];
    ts_identity id;
    ts_in_stats stats;
};

static const uint8_t cuei_descriptor[6] = {DESC_REGISTRATION, 4, 'C', 'U', 'E', 'I'};

/*
 * Offset of the section that starts in packet p (payload_unit_start,
 * pointer_field), or -1 when none starts there or the pointer leaves the
 * packet.
 */
static int section_start(const uint8_t *p)
{
    if ((p[1] & 0x80) || !(p[1] & 0x40) || !(p[3] & 0x10))
        return -1;  // transport error, no unit start, no payload
    int off = 4;
    if (p[3] & 0x20)
        off += 1 + p[4];
    if (off >= TS_PACKET_SIZE)
        return -1;
    off += 1 + p[off];
    return off + 3 <= TS_PACKET_SIZE ? off : -1;
}

/* Long-form section of table_id, current, with a good CRC_32. */
static int section_valid(const uint8_t *sec, int len, int table_id, int min_len)
{
    return sec[0] == table_id && len >= min_len && (sec[1] & 0x80) && (sec[5] & 0x01) &&
           mpegts_crc32(sec, len) == 0;
}

static void pat_section(ts_in *f, const uint8_t *sec, int len)
{
    if (!section_valid(sec, len, 0x00, 12))
        return;
    uint32_t crc = ((uint32_t)sec[len - 4] << 24) | (sec[len - 3] << 16) | (sec[len - 2] << 8) |
                   sec[len - 1];
    if (crc == f->pat_crc)
        return;  // a repetition
    f->pat_crc = crc;
    memset(f->is_pmt, 0, sizeof(f->is_pmt));
    f->id.ts_id = (sec[3] << 8) | sec[4];
    int first = 1;
    for (int o = 8; o + 4 <= len - 4; o += 4) {
        int program = (sec[o] << 8) | sec[o + 1];
        int pid = ((sec[o + 2] & 0x1F) << 8) | sec[o + 3];
        if (program == 0)
            continue;  // network PID
        f->is_pmt[pid] = 1;
        if (!first)
            continue;
        first = 0;
        if (program != f->id.program_number || pid != f->id.pmt_pid) {
            f->id.program_number = program;
            f->id.pmt_pid = pid;
            f->id.pcr_pid = -1;  // to be learnt from the new programme's PMT
            f->id.es_count = 0;
        }
    }
}

/*
 * Takes one PMT section; sec lies within a packet and room bytes of stuffing
 * follow it there. Returns 1 when "CUEI" was added in place.
 */
static int pmt_section(ts_in *f, uint8_t *sec, int len, int room)
{
    if (!section_valid(sec, len, 0x02, 16))
        return 0;
    f->stats.pmts_seen++;
    int program = (sec[3] << 8) | sec[4];
    int info_len = ((sec[10] & 0x0F) << 8) | sec[11];
    int es_start = 12 + info_len;
    int end = len - 4;
    if (es_start > end)
        return 0;
    int has_cuei = 0;
    for (int o = 12; o + 2 <= es_start && o + 2 + sec[o + 1] <= es_start; o += 2 + sec[o + 1])
        has_cuei |= sec[o] == DESC_REGISTRATION && sec[o + 1] >= 4 &&
                    !memcmp(sec + o + 2, "CUEI", 4);

    int record = program == f->id.program_number;
    if (record) {
        f->id.pcr_pid = ((sec[8] & 0x1F) << 8) | sec[9];
        f->id.es_count = 0;
    }
    int has_scte35 = 0;
    for (int o = es_start; o + 5 <= end; o += 5 + (((sec[o + 3] & 0x0F) << 8) | sec[o + 4])) {
        has_scte35 |= sec[o] == PMT_STREAM_TYPE_SCTE35;
        if (record && f->id.es_count < TS_IN_MAX_ES) {
            f->id.es[f->id.es_count].pid = ((sec[o + 1] & 0x1F) << 8) | sec[o + 2];
            f->id.es[f->id.es_count].stream_type = sec[o];
            f->id.es_count++;
        }
    }
    if (!has_scte35 || has_cuei)
        return 0;
    int info_room = 0x3FF - info_len;  // 10-bit program_info_length
    if (room < (int)sizeof(cuei_descriptor) || info_room < (int)sizeof(cuei_descriptor)) {
        f->stats.pmts_unchanged++;
        return 0;
    }
    memmove(sec + 12 + sizeof(cuei_descriptor), sec + 12, end - 12);
    memcpy(sec + 12, cuei_descriptor, sizeof(cuei_descriptor));
    info_len += sizeof(cuei_descriptor);
    sec[10] = (uint8_t)((sec[10] & 0xF0) | (info_len >> 8));
    sec[11] = (uint8_t)info_len;
    ts_psi_finish(sec, end + sizeof(cuei_descriptor));
    f->stats.pmts_rewritten++;
    return 1;
}

/* Stuffing bytes (0xFF) from off to the end of packet p. */
static int stuffing_after(const uint8_t *p, int off)
{
    int n = 0;
    while (off + n < TS_PACKET_SIZE && p[off + n] == 0xFF)
        n++;
    return off + n == TS_PACKET_SIZE ? n : 0;
}

static void take_packet(ts_in *f, uint8_t *p)
{
    f->stats.packets++;
    int pid = ts_pid(p);
    if (pid != 0 && !f->is_pmt[pid])
        return;
    int off = section_start(p);
    if (off < 0)
        return;
    int total = ts_psi_section_total(p + off);
    if (off + total > TS_PACKET_SIZE) {
        if (pid != 0 && p[off] == 0x02)
            f->stats.pmts_unchanged++;  // spans packets: not examined
        return;
    }
    if (pid == 0)
        pat_section(f, p + off, total);
    else
        pmt_section(f, p + off, total, stuffing_after(p, off + total));
}

/* Examines the staged bytes; returns how many can be handed out. */
static int examine(ts_in *f)
{
    int i = 0;
    while (i < f->len) {
        if (f->stage[i] != TS_SYNC_BYTE) {
            f->stats.bytes_skipped++;
            i++;
            continue;
        }
        if (i + TS_PACKET_SIZE > f->len)
            break;
        take_packet(f, f->stage + i);
        i += TS_PACKET_SIZE;
    }
    return i;
}

static int read_packet(void *opaque, uint8_t *buf, int size)
{
    ts_in *f = (ts_in *)opaque;
    if (f->pos == f->ready) {
        memmove(f->stage, f->stage + f->ready, f->len - f->ready);
        f->len -= f->ready;
        f->ready = 0;
        f->pos = 0;
        while (f->ready == 0) {
            if (f->eof) {
                if (f->len == 0)
                    return AVERROR_EOF;
                f->stats.bytes_skipped += f->len;  // an incomplete last packet
                f->ready = f->len;
                break;
            }
            int n = f->read(f->opaque, f->stage + f->len, f->cap - f->len);
            if (n == 0 || n == AVERROR_EOF) {
                f->eof = 1;
                continue;
            }
            if (n < 0)
                return n;
            f->len += n;
            f->ready = examine(f);
        }
    }
    int n = f->ready - f->pos < size ? f->ready - f->pos : size;
    memcpy(buf, f->stage + f->pos, n);
    f->pos += n;
    return n;
}

static int read_source(void *opaque, uint8_t *buf, int size)
{
    return avio_read_partial((AVIOContext *)opaque, buf, size);
}

int ts_in_open(ts_in **out, ts_in_read_fn read, void *opaque, int buffer_size)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!read)
        return -EINVAL;
    if (buffer_size < TS_PACKET_SIZE || buffer_size > (1 << 20))
        return -ERANGE;
    ts_in *f = (ts_in *)av_mallocz(sizeof(*f));
    if (!f)
        return -ENOMEM;
    f->read = read;
    f->opaque = opaque;
    f->cap = buffer_size + TS_PACKET_SIZE;
    f->stage = (uint8_t *)av_malloc(f->cap);
    uint8_t *io_buf = (uint8_t *)av_malloc(buffer_size);
    if (f->stage && io_buf)
        f->pb = avio_alloc_context(io_buf, buffer_size, 0, f, read_packet, nullptr, nullptr);
    if (!f->pb) {
        av_free(io_buf);
        av_free(f->stage);
        av_free(f);
        return -ENOMEM;
    }
    f->id.ts_id = -1;
    f->id.program_number = -1;
    f->id.pmt_pid = -1;
    f->id.pcr_pid = -1;
    *out = f;
    return 0;
}

int ts_in_open_url(ts_in **out, const char *url, const AVIOInterruptCB *interrupt,
                   AVDictionary **options, int buffer_size)
{
    if (!out)
        return -EINVAL;
    *out = nullptr;
    if (!url)
        return -EINVAL;
    if (buffer_size < TS_PACKET_SIZE || buffer_size > (1 << 20))
        return -ERANGE;
    AVIOContext *source = nullptr;
    int ret = avio_open2(&source, url, AVIO_FLAG_READ, interrupt, options);
    if (ret < 0)
        return ret;
    ret = ts_in_open(out, read_source, source, buffer_size);
    if (ret < 0) {
        avio_closep(&source);
        return ret;
    }
    (*out)->source = source;
    return 0;
}

int ts_in_flush(ts_in *f)
{
    if (!f)
        return -EINVAL;
    f->len = 0;
    f->ready = 0;
    f->pos = 0;
    if (f->source)
        avio_flush(f->source);
    return 0;
}

AVIOContext *ts_in_pb(ts_in *f)
{
    return f ? f->pb : nullptr;
}

int ts_in_seekable(const ts_in *f)
{
    return f && f->source ? f->source->seekable : 0;
}

int ts_in_get_identity(const ts_in *f, ts_identity *id)
{
    if (!f || !id)
        return -EINVAL;
    *id = f->id;
    return 0;
}

int ts_identity_stream_type(const ts_identity *id, int pid)
{
    for (int i = 0; id && i < id->es_count; i++)
        if (id->es[i].pid == pid)
            return id->es[i].stream_type;
    return -1;
}

int ts_in_get_stats(const ts_in *f, ts_in_stats *stats)
{
    if (!f || !stats)
        return -EINVAL;
    *stats = f->stats;
    return 0;
}

int ts_in_close(ts_in **p)
{
    if (!p || !*p)
        return -EINVAL;
    ts_in *f = *p;
    if (f->source)
        avio_closep(&f->source);
    av_freep(&f->pb->buffer);
    avio_context_free(&f->pb);
    av_free(f->stage);
    av_free(f);
    *p = nullptr;
    return 0;
}
