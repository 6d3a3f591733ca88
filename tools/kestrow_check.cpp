/*
 * kestrow_check: lists what an MPEG transport stream carries, packet by
 * packet, as libavformat demuxes it, for tests and for people looking at a
 * stream. The stream types and descriptors of the PMT, which libavformat does
 * not expose, come from the checker's own PAT/PMT reader: every byte that
 * libavformat reads passes through it on the way (a read-through AVIO layer),
 * so files and URLs (udp://...) are treated alike.
 *
 *   kestrow_check [options] INPUT
 *     --json            one JSON object instead of tab-separated lines
 *     --hex             add the bytes of data-stream packets (SCTE-35 ...)
 *     --hex-all         add the bytes of every packet
 *     --cc              only scan the raw TS for continuity-counter errors
 *     --layout          only scan the raw TS for its PAT/PMT layout and the
 *                       packets of each PID
 *     --duration SEC    stop after SEC seconds of wall-clock time
 *     --count N         stop after N packets (TS packets with --cc)
 *     --verbose         let libavformat print its warnings
 *
 * Tab-separated output; the first line is always "kestrow_check<TAB>1"
 * (--json: one object with "format":"kestrow_check","version":1):
 *   program  NUMBER PMT_PID PCR_PID DESCRIPTORS
 *   stream   INDEX PID STREAM_TYPE CODEC MEDIA TIME_BASE DESCRIPTORS
 *   packet   STREAM_INDEX PID STREAM_TYPE CODEC PTS DTS DURATION KEY SIZE
 *            HASH POS DATA
 *   end      PACKETS STATUS            (STATUS: eof, stopped, count, error:TEXT)
 * With --cc:
 *   cc       PID TS_PACKETS CC_ERRORS  (one line per PID, null packets left out)
 *   total    TS_PACKETS CC_ERRORS SYNC_LOSSES
 * With --layout (the last PAT and PMTs read; PIDs in order, null PID included):
 *   ts       TRANSPORT_STREAM_ID       ("-" when no PAT was read)
 *   program  NUMBER PMT_PID PCR_PID DESCRIPTORS
 *   es       PROGRAM PID STREAM_TYPE LANGUAGES PACKETS DESCRIPTORS
 *            (one per stream of the PMT, in its order; LANGUAGES are the
 *            ISO 639 codes of its language, subtitling and teletext
 *            descriptors, "+"-separated, "-" for none)
 *   pid      PID TS_PACKETS UNIT_STARTS PCRS PCR_INTERVAL
 *            (PCR_INTERVAL: the longest step between two PCRs of the PID,
 *            in microseconds; "-" with fewer than two)
 *   total    TS_PACKETS CC_ERRORS SYNC_LOSSES
 * PIDs and stream types are "0x..." hexadecimal, "-" when unknown; PTS/DTS
 * are in the stream's time base (1/90000), "NOPTS" when missing; KEY is 1 or
 * 0; HASH is the 64-bit FNV-1a of the packet's bytes; DATA is hexadecimal
 * or "-". Descriptors: "reg=XXXX" for a registration descriptor, otherwise
 * "0xTT=HEX", comma-separated, "-" for none.
 *
 *
 *   kestrow_check --tr290 [--pcr-pid PID] [--times FILE] [--window FROM:TO] FILE
 *
 * --tr290 reads a file (two passes over its raw bytes, no demuxer) as a
 * receiver's monitor does and prints one JSON object. Every packet has an
 * "output time", seconds from the file's first byte: from the PCRs of one
 * PID (--pcr-pid; the first programme's PCR PID, or the first PID carrying
 * PCRs when that one has none), linear in byte position between two PCRs and
 * at the nearest pace before the first and after the last; a step back, of
 * over a minute or flagged by the discontinuity_indicator starts a new
 * timeline (the time goes on at the last pace), and before a leap forward of over 100 ms (an outage) the packets
 * keep the last pace, the leap coming after them. --times FILE takes the
 * arrival time of each datagram instead (a kestrow_udp --log file: seconds
 * and byte offset per line), as a receiver sees them. --window FROM:TO
 * (either may be left out) counts only packets of output time in
 * [FROM, TO). Object:
 *   mode "tr290", time "pcr"|"arrival", pcr_pid, window {from_s, to_s},
 *   packets, start_s, end_s (of the packets in the window), sync_losses,
 *   cc_errors,
 *   pat, sdt (actual, table_id 0x42 on 0x11) and pmts [one per
 *   program_number of the PATs, its "program" and PMT "pid"], each: pid,
 *   table_id, limit_ms (500; SDT 2000), sections (CRC correct), crc_errors,
 *   first_s, first_late (the first later than the limit after the window's
 *   start, or none), last_s, max_interval_ms and max_interval_at_s (the
 *   longest interval between two sections and the time of the first of
 *   them), over_limit (intervals over the limit), tail_ms (from the last
 *   section to the last packet),
 *   pcrs [per PID carrying PCRs]: pid, pcrs, max_interval_ms and
 *   max_interval_at_s (the longest forward step by PCR value, not across a
 *   discontinuity_indicator), over_40ms, disc_flagged and disc_unflagged
 *   (steps back or over 100 ms, with and without the indicator),
 *   max_gap_ms and max_gap_at_s (the longest interval by output time),
 *   pids [per PID with packets in the window]: pid, packets, scrambled
 *   (transport_scrambling_control set), cc_errors, first_cc_error_s (the
 *   --cc rules),
 *   streams [per elementary PID of the PMTs]: pid, program, stream_type,
 *   pes_starts, pes_per_second (a list: second i from the window's start),
 *   max_interval_ms and max_interval_at_s (between two PES starts),
 *   dts_lead_ms {min, median, max, count} (each clear PES header's DTS, or
 *   PTS alone, minus the PCR of its programme's PCR PID at its place;
 *   null without one); stream type 0x86 adds sections (unit starts) and
 *   table_id_errors (a section not starting with table_id 0xFC).
 * Times are seconds with 3 decimals, intervals milliseconds with 1; null
 * where there is nothing to measure.
 *
 * Exit status: 0 done (for --cc: no continuity error; for --tr290: no error
 * counted), 1 read error after the header (for --cc: continuity errors
 * found; for --layout: no PMT read; for --tr290: an error counted: a late
 * or missing table, an interval over its limit, a CRC error, a continuity
 * error, a sync loss, a PCR step over 40 ms or an unflagged discontinuity),
 * 2 usage or open failure (--tr290: also no PCR to time the packets by).
 *
 *   kestrow_check --pictures OUTPUT --input INPUT [--filler FILE ...] ...
 *
 * --pictures decodes the output, the programme and the fillers and classes
 * every output picture (tools/kestrow_pictures.cpp says how, and what it
 * prints).
 */
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/avutil.h>
#include <libavutil/crc.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

#include "common/mpegts.h"
#include "tools/kestrow_pictures.h"

#define TS_MAX_PROGRAMS  32
#define TS_MAX_SECTION   4096    // 12-bit section_length + 3
#define DESC_TEXT_SIZE   256
#define LANG_TEXT_SIZE   32
#define TS_MAX_ES        64
#define IO_BUFFER_SIZE   65536

/* Continuity state of one PID. */
struct ts_cc_state {
    int last_cc;          // -1 before the first packet with payload
    int duplicate;        // 1 after one repeated counter value
    int64_t packets;
    int64_t errors;
};

/* What the PMT says about one elementary PID. */
struct ts_es_info {
    int stream_type;      // -1 when no PMT declares the PID
    int program;          // program_number of the first PMT that declared it
    char descriptors[DESC_TEXT_SIZE];
    char languages[LANG_TEXT_SIZE];   // "eng+fra"; empty for none
};

/* Packets of one PID by kind, for --layout. */
struct ts_pid_stats {
    int64_t packets;
    int64_t unit_starts;  // payload_unit_start_indicator set
    int64_t pcrs;         // adaptation fields carrying a PCR
    int64_t last_pcr;     // 27 MHz, the last PCR's value
    int64_t pcr_step;     // 27 MHz, the longest step between two PCRs (mod 2^33 * 300)
};

/* One programme of the PAT, with its PMT section being gathered. */
struct ts_program {
    int number;
    int pmt_pid;
    int pcr_pid;          // -1 until the PMT is read
    char descriptors[DESC_TEXT_SIZE];
    int es_pids[TS_MAX_ES];   // the PMT's streams, in its order
    int es_count;
    uint8_t section[TS_MAX_SECTION];
    int section_len;      // bytes gathered; -1 when not inside a section
};

/* Called with each whole TS packet and the byte offset of its first byte. */
typedef void (*ts_packet_fn)(void *ctx, const uint8_t *p, int64_t offset);

/* Raw TS reader: packet alignment, continuity counters, PAT and PMT. */
struct ts_scanner {
    uint8_t packet[TS_PACKET_SIZE];
    int fill;
    int64_t fed;          // bytes fed so far
    int64_t packet_offset;    // offset of the packet being gathered
    ts_packet_fn hook;    // set: packets go there instead of to scan_packet
    void *hook_ctx;
    int64_t packets;
    int64_t sync_losses;
    int in_sync;
    ts_cc_state cc[TS_PID_COUNT];
    ts_es_info es[TS_PID_COUNT];
    ts_pid_stats stats[TS_PID_COUNT];
    int ts_id;            // transport_stream_id of the PAT; -1 before one
    uint8_t pat[TS_MAX_SECTION];
    int pat_len;          // -1 when not inside a section
    ts_program programs[TS_MAX_PROGRAMS];
    int program_count;
};

static int ts_scanner_create(ts_scanner **out)
{
    if (!out)
        return -EINVAL;
    ts_scanner *s = static_cast<ts_scanner *>(calloc(1, sizeof(ts_scanner)));
    if (!s)
        return -ENOMEM;
    for (int i = 0; i < TS_PID_COUNT; i++) {
        s->cc[i].last_cc = -1;
        s->es[i].stream_type = -1;
    }
    s->pat_len = -1;
    s->ts_id = -1;
    s->in_sync = 1;
    *out = s;
    return 0;
}

static int ts_scanner_destroy(ts_scanner **p)
{
    if (!p || !*p)
        return -EINVAL;
    free(*p);
    *p = nullptr;
    return 0;
}

/* Descriptor loop as text: "reg=CUEI" for registrations, "0xTT=HEX" else. */
static void descriptors_to_text(const uint8_t *d, int len, char *out, size_t size)
{
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i + 2 <= len;) {
        int tag = d[i], dlen = d[i + 1];
        if (i + 2 + dlen > len)
            break;
        char item[80];
        const uint8_t *v = d + i + 2;
        bool printable = dlen >= 4;
        for (int k = 0; k < 4 && printable; k++)
            printable = v[k] > 0x20 && v[k] < 0x7F && v[k] != ',' && v[k] != '"' && v[k] != '\\';
        if (tag == 5 && printable) {
            snprintf(item, sizeof(item), "reg=%c%c%c%c", v[0], v[1], v[2], v[3]);
        } else {
            int n = snprintf(item, sizeof(item), "0x%02x=", tag);
            for (int k = 0; k < dlen && n + 3 < static_cast<int>(sizeof(item)); k++)
                n += snprintf(item + n, sizeof(item) - n, "%02x", v[k]);
        }
        size_t need = strlen(item) + (used ? 1 : 0);
        if (used + need + 1 > size)
            break;
        if (used)
            out[used++] = ',';
        memcpy(out + used, item, strlen(item) + 1);
        used += strlen(item);
        i += 2 + dlen;
    }
}

/*
 * ISO 639 codes of the language (0x0A), subtitling (0x59) and teletext
 * (0x56) descriptors of a loop, "+"-separated; empty when there are none.
 */
static void languages_to_text(const uint8_t *d, int len, char *out, size_t size)
{
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i + 2 <= len;) {
        int tag = d[i], dlen = d[i + 1];
        if (i + 2 + dlen > len)
            break;
        int step = tag == 0x0A ? 4 : tag == 0x59 ? 8 : tag == 0x56 ? 5 : 0;
        for (int k = 0; step && k + step <= dlen; k += step) {
            const uint8_t *v = d + i + 2 + k;
            bool letters = true;
            for (int c = 0; c < 3; c++)
                letters = letters && v[c] > 0x20 && v[c] < 0x7F && v[c] != '+' && v[c] != '"'
                          && v[c] != '\\';
            if (!letters || used + 5 > size)
                continue;
            if (used)
                out[used++] = '+';
            memcpy(out + used, v, 3);
            used += 3;
            out[used] = '\0';
        }
        i += 2 + dlen;
    }
}

static int section_crc_ok(const uint8_t *sec, int len)
{
    const AVCRC *table = av_crc_get_table(AV_CRC_32_IEEE);
    return len >= 4 && av_crc(table, UINT32_MAX, sec, len) == 0;
}

static ts_program *find_program_by_pmt(ts_scanner *s, int pid)
{
    for (int i = 0; i < s->program_count; i++)
        if (s->programs[i].pmt_pid == pid)
            return &s->programs[i];
    return nullptr;
}

static void parse_pat(ts_scanner *s, const uint8_t *sec, int len)
{
    if (sec[0] != 0x00 || !(sec[5] & 0x01))
        return;
    s->ts_id = (sec[3] << 8) | sec[4];
    for (int i = 8; i + 4 <= len - 4; i += 4) {
        int number = (sec[i] << 8) | sec[i + 1];
        int pid = ((sec[i + 2] & 0x1F) << 8) | sec[i + 3];
        if (number == 0)
            continue;                       // network PID
        int k = 0;
        while (k < s->program_count && s->programs[k].number != number)
            k++;
        if (k == s->program_count) {
            if (k == TS_MAX_PROGRAMS)
                continue;
            s->program_count++;
            s->programs[k].number = number;
            s->programs[k].pcr_pid = -1;
        }
        s->programs[k].pmt_pid = pid;
        s->programs[k].section_len = -1;
    }
}

static void parse_pmt(ts_program *prog, ts_scanner *s, const uint8_t *sec, int len)
{
    if (sec[0] != 0x02 || !(sec[5] & 0x01) || len < 16)
        return;
    if (((sec[3] << 8) | sec[4]) != prog->number)
        return;
    prog->pcr_pid = ((sec[8] & 0x1F) << 8) | sec[9];
    int info_len = ((sec[10] & 0x0F) << 8) | sec[11];
    int end = len - 4;
    if (12 + info_len > end)
        return;
    descriptors_to_text(sec + 12, info_len, prog->descriptors, sizeof(prog->descriptors));
    prog->es_count = 0;
    for (int i = 12 + info_len; i + 5 <= end;) {
        int type = sec[i];
        int pid = ((sec[i + 1] & 0x1F) << 8) | sec[i + 2];
        int es_len = ((sec[i + 3] & 0x0F) << 8) | sec[i + 4];
        if (i + 5 + es_len > end)
            break;
        s->es[pid].stream_type = type;
        if (!s->es[pid].program)
            s->es[pid].program = prog->number;
        descriptors_to_text(sec + i + 5, es_len, s->es[pid].descriptors,
                            sizeof(s->es[pid].descriptors));
        languages_to_text(sec + i + 5, es_len, s->es[pid].languages,
                          sizeof(s->es[pid].languages));
        if (prog->es_count < TS_MAX_ES)
            prog->es_pids[prog->es_count++] = pid;
        i += 5 + es_len;
    }
}

/* Called with each whole section gathered from a PSI PID (CRC not checked). */
typedef void (*ts_section_fn)(void *ctx, int pid, const uint8_t *sec, int len);

static void section_done(void *ctx, int pid, const uint8_t *sec, int len)
{
    ts_scanner *s = static_cast<ts_scanner *>(ctx);
    if (!section_crc_ok(sec, len))
        return;
    if (pid == 0) {
        parse_pat(s, sec, len);
        return;
    }
    ts_program *prog = find_program_by_pmt(s, pid);
    if (prog)
        parse_pmt(prog, s, sec, len);
}

/*
 * Gathers the sections of one PSI PID into buf (*len bytes so far, -1 when
 * between sections) from the payload of one TS packet.
 */
static void gather_sections(ts_section_fn done, void *ctx, int pid, uint8_t *buf, int *len,
                            const uint8_t *payload, int size, int unit_start)
{
    int pos = 0;
    if (unit_start) {
        if (size < 1)
            return;
        int pointer = payload[0];
        pos = 1;
        if (pos + pointer > size) {
            *len = -1;
            return;
        }
        if (*len >= 0 && *len + pointer <= TS_MAX_SECTION) {
            memcpy(buf + *len, payload + pos, pointer);
            *len += pointer;
            if (*len >= 3 && *len >= 3 + (((buf[1] & 0x0F) << 8) | buf[2]))
                done(ctx, pid, buf, 3 + (((buf[1] & 0x0F) << 8) | buf[2]));
        }
        pos += pointer;
        *len = 0;
    } else if (*len < 0) {
        return;
    }
    for (;;) {
        if (*len == 0 && (pos >= size || payload[pos] == 0xFF)) {
            *len = -1;                       // stuffing: no more sections here
            return;
        }
        int room = TS_MAX_SECTION - *len;
        int take = size - pos < room ? size - pos : room;
        memcpy(buf + *len, payload + pos, take);
        *len += take;
        pos += take;
        if (*len < 3)
            return;
        int total = 3 + (((buf[1] & 0x0F) << 8) | buf[2]);
        if (*len < total) {
            if (*len == TS_MAX_SECTION)
                *len = -1;
            return;
        }
        done(ctx, pid, buf, total);
        // Bytes past the section may start the next one.
        int extra = *len - total;
        pos -= extra;
        *len = 0;
    }
}

static void check_continuity(ts_cc_state *c, const uint8_t *p)
{
    int afc = (p[3] >> 4) & 3;
    int cc = p[3] & 0x0F;
    c->packets++;
    if (p[1] & 0x80 || afc == 0 || !(afc & 1))
        return;                               // errored, reserved, or no payload
    int discontinuity = (afc & 2) && p[4] > 0 && (p[5] & 0x80);
    if (c->last_cc < 0 || discontinuity) {
        c->last_cc = cc;
        c->duplicate = 0;
    } else if (cc == c->last_cc) {
        if (c->duplicate)
            c->errors++;
        c->duplicate = 1;                     // one repetition is allowed
    } else {
        if (cc != ((c->last_cc + 1) & 0x0F))
            c->errors++;
        c->last_cc = cc;
        c->duplicate = 0;
    }
}

static void scan_packet(ts_scanner *s, const uint8_t *p)
{
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    s->packets++;
    ts_pid_stats *st = &s->stats[pid];
    st->packets++;
    st->unit_starts += (p[1] & 0x40) != 0;
    if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10)) {
        int64_t base = ((int64_t)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
        int64_t pcr = base * 300 + (((p[10] & 1) << 8) | p[11]);
        int64_t step = ts_pcr_wrap(pcr - st->last_pcr);
        if (st->pcrs++ && step > st->pcr_step)
            st->pcr_step = step;
        st->last_pcr = pcr;
    }
    if (pid == TS_NULL_PID)
        return;
    check_continuity(&s->cc[pid], p);
    if (p[1] & 0x80)
        return;
    int afc = (p[3] >> 4) & 3;
    if (!(afc & 1))
        return;
    int off = 4;
    if (afc & 2)
        off += 1 + p[4];
    if (off >= TS_PACKET_SIZE)
        return;
    int unit_start = (p[1] & 0x40) != 0;
    if (pid == 0) {
        gather_sections(section_done, s, pid, s->pat, &s->pat_len, p + off, TS_PACKET_SIZE - off,
                        unit_start);
        return;
    }
    ts_program *prog = find_program_by_pmt(s, pid);
    if (prog)
        gather_sections(section_done, s, pid, prog->section, &prog->section_len, p + off,
                        TS_PACKET_SIZE - off, unit_start);
}

/* Feeds raw bytes; finds packet alignment again after a lost sync byte. */
static void ts_scanner_feed(ts_scanner *s, const uint8_t *data, int size)
{
    for (int i = 0; i < size;) {
        if (s->fill == 0 && data[i] != 0x47) {
            if (s->in_sync)
                s->sync_losses++;
            s->in_sync = 0;
            i++;
            continue;
        }
        if (s->fill == 0)
            s->packet_offset = s->fed + i;
        int take = TS_PACKET_SIZE - s->fill;
        if (take > size - i)
            take = size - i;
        memcpy(s->packet + s->fill, data + i, take);
        s->fill += take;
        i += take;
        if (s->fill == TS_PACKET_SIZE) {
            s->in_sync = 1;
            s->fill = 0;
            if (s->hook)
                s->hook(s->hook_ctx, s->packet, s->packet_offset);
            else
                scan_packet(s, s->packet);
        }
    }
    s->fed += size;
}

/* ---------------------------------------------------------------------- */

struct check_opts {
    int json;
    int hex;              // 0 none, 1 data streams, 2 every packet
    int cc_only;
    int layout;
    int verbose;
    int64_t count;        // 0: no limit
    int64_t deadline;     // av_gettime_relative() limit; 0: none
    const char *input;
    int tr290;
    int pcr_pid;          // --pcr-pid; -1: the first programme's
    const char *times;    // --times: arrival times of the datagrams
    double window_from;   // --window, seconds of output time
    double window_to;     // HUGE_VAL: to the end
};

/* The read-through layer between libavformat and the real input. */
struct tee_ctx {
    AVIOContext *inner;
    ts_scanner *scan;
};

static int tee_read(void *opaque, uint8_t *buf, int size)
{
    tee_ctx *t = static_cast<tee_ctx *>(opaque);
    for (int tries = 0; tries < 100; tries++) {
        int n = avio_read_partial(t->inner, buf, size);
        if (n > 0) {
            ts_scanner_feed(t->scan, buf, n);
            return n;
        }
        if (n < 0)
            return n;
    }
    return AVERROR_EOF;
}

static int deadline_passed(void *opaque)
{
    const check_opts *o = static_cast<const check_opts *>(opaque);
    return o->deadline && av_gettime_relative() >= o->deadline;
}

static uint64_t fnv1a64(const uint8_t *d, int n)
{
    uint64_t h = 0xcbf29ce484222325ULL;
    for (int i = 0; i < n; i++) {
        h ^= d[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

static void print_pid(char *buf, size_t size, int v)
{
    if (v < 0)
        snprintf(buf, size, "-");
    else
        snprintf(buf, size, "0x%x", v);
}

static void print_ts(char *buf, size_t size, int64_t ts, int json)
{
    if (ts == AV_NOPTS_VALUE)
        snprintf(buf, size, json ? "null" : "NOPTS");
    else
        snprintf(buf, size, "%" PRId64, ts);
}

static void print_hex(const uint8_t *d, int n)
{
    for (int i = 0; i < n; i++)
        printf("%02x", d[i]);
}

/* A descriptor text as a JSON array of strings (its items hold no quotes). */
static void print_json_list(const char *text)
{
    putchar('[');
    for (const char *p = text; *p;) {
        const char *e = strchr(p, ',');
        int n = e ? static_cast<int>(e - p) : static_cast<int>(strlen(p));
        printf("%s\"%.*s\"", p == text ? "" : ",", n, p);
        p += n + (e ? 1 : 0);
    }
    putchar(']');
}

/* A program's number, PMT PID, PCR PID and descriptors; the JSON object is left open. */
static void print_program(const check_opts *o, const ts_program *p, int index)
{
    char a[16], b[16];
    print_pid(a, sizeof(a), p->pmt_pid);
    print_pid(b, sizeof(b), p->pcr_pid);
    if (o->json) {
        printf("%s{\"number\":%d,\"pmt_pid\":%d,\"pcr_pid\":%d,\"descriptors\":",
               index ? "," : "", p->number, p->pmt_pid, p->pcr_pid);
        print_json_list(p->descriptors);
    } else {
        printf("program\t%d\t%s\t%s\t%s\n", p->number, a, b, p->descriptors[0] ? p->descriptors : "-");
    }
}

static void print_header(const check_opts *o, const ts_scanner *s, const AVFormatContext *fmt)
{
    char a[16], b[16], c[16];
    if (o->json)
        printf("{\"format\":\"kestrow_check\",\"version\":1,\"programs\":[");
    for (int i = 0; i < s->program_count; i++) {
        const ts_program *p = &s->programs[i];
        print_program(o, p, i);
        if (o->json)
            putchar('}');
    }
    if (o->json)
        printf("],\"streams\":[");
    for (unsigned i = 0; i < fmt->nb_streams; i++) {
        const AVStream *st = fmt->streams[i];
        int pid = st->id >= 0 && st->id < TS_PID_COUNT ? st->id : -1;
        const ts_es_info *es = pid >= 0 ? &s->es[pid] : nullptr;
        const char *media = av_get_media_type_string(st->codecpar->codec_type);
        print_pid(a, sizeof(a), pid);
        print_pid(b, sizeof(b), es ? es->stream_type : -1);
        snprintf(c, sizeof(c), "%d/%d", st->time_base.num, st->time_base.den);
        if (o->json) {
            printf("%s{\"index\":%u,\"pid\":%d,\"stream_type\":%d,\"codec\":\"%s\","
                   "\"media\":\"%s\",\"time_base\":\"%s\",\"descriptors\":",
                   i ? "," : "", i, pid, es ? es->stream_type : -1,
                   avcodec_get_name(st->codecpar->codec_id), media ? media : "unknown", c);
            print_json_list(es ? es->descriptors : "");
            putchar('}');
        } else {
            printf("stream\t%u\t%s\t%s\t%s\t%s\t%s\t%s\n", i, a, b,
                   avcodec_get_name(st->codecpar->codec_id), media ? media : "unknown", c,
                   es && es->descriptors[0] ? es->descriptors : "-");
        }
    }
    if (o->json)
        printf("],\"packets\":[");
}

static void print_packet(const check_opts *o, const ts_scanner *s, const AVFormatContext *fmt,
                         const AVPacket *pkt, int64_t n)
{
    const AVStream *st = fmt->streams[pkt->stream_index];
    int pid = st->id >= 0 && st->id < TS_PID_COUNT ? st->id : -1;
    int type = pid >= 0 ? s->es[pid].stream_type : -1;
    char a[16], b[16], pts[32], dts[32], pos[32];
    print_pid(a, sizeof(a), pid);
    print_pid(b, sizeof(b), type);
    print_ts(pts, sizeof(pts), pkt->pts, o->json);
    print_ts(dts, sizeof(dts), pkt->dts, o->json);
    if (pkt->pos < 0)
        snprintf(pos, sizeof(pos), o->json ? "null" : "-");
    else
        snprintf(pos, sizeof(pos), "%" PRId64, pkt->pos);
    int key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
    int hex = o->hex == 2 || (o->hex == 1 && st->codecpar->codec_type == AVMEDIA_TYPE_DATA);
    /*
     * A picture's trailing zero bytes are left out of its hash: the parser
     * gives the leading zero of the next picture's start code to the one
     * before, so that the same picture read whole from its PES and cut out
     * of the stream hashes alike.
     */
    int hashed = pkt->size;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO)
        while (hashed > 0 && pkt->data[hashed - 1] == 0)
            hashed--;
    uint64_t hash = fnv1a64(pkt->data, hashed);
    const char *codec = avcodec_get_name(st->codecpar->codec_id);
    if (o->json) {
        printf("%s\n{\"stream\":%d,\"pid\":%d,\"stream_type\":%d,\"codec\":\"%s\",\"pts\":%s,"
               "\"dts\":%s,\"duration\":%" PRId64 ",\"key\":%s,\"size\":%d,\"hash\":\"%016" PRIx64
               "\",\"pos\":%s,\"data\":",
               n ? "," : "", pkt->stream_index, pid, type, codec, pts, dts, pkt->duration,
               key ? "true" : "false", pkt->size, hash, pos);
        if (hex) {
            putchar('"');
            print_hex(pkt->data, pkt->size);
            putchar('"');
        } else {
            printf("null");
        }
        putchar('}');
    } else {
        printf("packet\t%d\t%s\t%s\t%s\t%s\t%s\t%" PRId64 "\t%d\t%d\t%016" PRIx64 "\t%s\t",
               pkt->stream_index, a, b, codec, pts, dts, pkt->duration, key, pkt->size, hash, pos);
        if (hex)
            print_hex(pkt->data, pkt->size);
        else
            putchar('-');
        putchar('\n');
    }
}

static void print_end(const check_opts *o, int64_t packets, const char *status)
{
    if (o->json)
        printf("\n],\"end\":{\"packets\":%" PRId64 ",\"status\":\"%s\"}}\n", packets, status);
    else
        printf("end\t%" PRId64 "\t%s\n", packets, status);
}

static int open_inner(const check_opts *o, AVIOContext **inner)
{
    AVIOInterruptCB cb = {deadline_passed, const_cast<check_opts *>(o)};
    int ret = avio_open2(inner, o->input, AVIO_FLAG_READ, &cb, nullptr);
    if (ret < 0) {
        char err[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(ret, err, sizeof(err));
        fprintf(stderr, "kestrow_check: cannot open %s: %s\n", o->input, err);
    }
    return ret;
}

/* Feeds the raw input to the scanner up to its end, the deadline or --count;
 * 0, or -1 when the input cannot be read at all (reported). */
static int scan_raw(const check_opts *o, ts_scanner *s)
{
    AVIOContext *inner = nullptr;
    if (open_inner(o, &inner) < 0)
        return -1;
    uint8_t *buf = static_cast<uint8_t *>(av_malloc(IO_BUFFER_SIZE));
    if (!buf) {
        avio_closep(&inner);
        return -1;
    }
    for (;;) {
        int n = avio_read_partial(inner, buf, IO_BUFFER_SIZE);
        if (n < 0)
            break;
        ts_scanner_feed(s, buf, n);
        if (o->count && s->packets >= o->count)
            break;
    }
    av_free(buf);
    avio_closep(&inner);
    return 0;
}

static int64_t cc_errors(const ts_scanner *s)
{
    int64_t errors = 0;
    for (int pid = 0; pid < TS_PID_COUNT; pid++)
        errors += s->cc[pid].errors;
    return errors;
}

static void print_total(const check_opts *o, const ts_scanner *s)
{
    if (o->json)
        printf("\"total\":{\"packets\":%" PRId64 ",\"errors\":%" PRId64 ",\"sync_losses\":%" PRId64
               "}}\n", s->packets, cc_errors(s), s->sync_losses);
    else
        printf("total\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\n", s->packets, cc_errors(s),
               s->sync_losses);
}

/* --layout: the PAT/PMT identity and the packets of each PID, raw bytes only. */
static int run_layout(const check_opts *o, ts_scanner *s)
{
    if (scan_raw(o, s) < 0)
        return 2;
    char a[16], b[16], c[16];
    int found = 0;
    if (o->json) {
        printf("{\"format\":\"kestrow_check\",\"version\":1,\"transport_stream_id\":");
        if (s->ts_id < 0)
            printf("null");
        else
            printf("%d", s->ts_id);
        printf(",\"programs\":[");
    } else {
        print_pid(a, sizeof(a), -1);
        if (s->ts_id >= 0)
            snprintf(a, sizeof(a), "%d", s->ts_id);
        printf("ts\t%s\n", a);
    }
    for (int i = 0; i < s->program_count; i++) {
        const ts_program *p = &s->programs[i];
        found |= p->pcr_pid >= 0;
        print_program(o, p, i);
        if (o->json)
            printf(",\"streams\":[");
        for (int k = 0; k < p->es_count; k++) {
            int pid = p->es_pids[k];
            const ts_es_info *es = &s->es[pid];
            if (o->json) {
                printf("%s{\"pid\":%d,\"stream_type\":%d,\"packets\":%" PRId64 ",\"languages\":",
                       k ? "," : "", pid, es->stream_type, s->stats[pid].packets);
                printf("[");
                for (const char *l = es->languages; *l; l += l[3] ? 4 : 3)
                    printf("%s\"%.3s\"", l == es->languages ? "" : ",", l);
                printf("],\"descriptors\":");
                print_json_list(es->descriptors);
                putchar('}');
            } else {
                print_pid(a, sizeof(a), pid);
                print_pid(b, sizeof(b), es->stream_type);
                printf("es\t%d\t%s\t%s\t%s\t%" PRId64 "\t%s\n", p->number, a, b,
                       es->languages[0] ? es->languages : "-", s->stats[pid].packets,
                       es->descriptors[0] ? es->descriptors : "-");
            }
        }
        if (o->json)
            printf("]}");
    }
    if (o->json)
        printf("],\"pids\":[");
    int first = 1;
    for (int pid = 0; pid < TS_PID_COUNT; pid++) {
        const ts_pid_stats *st = &s->stats[pid];
        if (!st->packets)
            continue;
        if (o->json) {
            printf("%s{\"pid\":%d,\"packets\":%" PRId64 ",\"unit_starts\":%" PRId64
                   ",\"pcrs\":%" PRId64, first ? "" : ",", pid, st->packets, st->unit_starts,
                   st->pcrs);
            printf(st->pcrs > 1 ? ",\"pcr_interval\":%" PRId64 "}" : "}", st->pcr_step / 27);
        } else {
            print_pid(c, sizeof(c), pid);
            printf("pid\t%s\t%" PRId64 "\t%" PRId64 "\t%" PRId64 "\t", c, st->packets,
                   st->unit_starts, st->pcrs);
            if (st->pcrs > 1)
                printf("%" PRId64 "\n", st->pcr_step / 27);
            else
                printf("-\n");
        }
        first = 0;
    }
    if (o->json)
        printf("],");
    print_total(o, s);
    return found ? 0 : 1;
}

/* --cc: raw bytes only, no demuxing. */
static int run_cc(const check_opts *o, ts_scanner *s)
{
    if (scan_raw(o, s) < 0)
        return 2;

    int64_t errors = 0;
    if (o->json)
        printf("{\"format\":\"kestrow_check\",\"version\":1,\"cc\":[");
    int first = 1;
    for (int pid = 0; pid < TS_PID_COUNT; pid++) {
        const ts_cc_state *c = &s->cc[pid];
        if (!c->packets)
            continue;
        errors += c->errors;
        if (o->json)
            printf("%s{\"pid\":%d,\"packets\":%" PRId64 ",\"errors\":%" PRId64 "}",
                   first ? "" : ",", pid, c->packets, c->errors);
        else
            printf("cc\t0x%x\t%" PRId64 "\t%" PRId64 "\n", pid, c->packets, c->errors);
        first = 0;
    }
    if (o->json)
        printf("],");
    print_total(o, s);
    return errors || s->sync_losses ? 1 : 0;
}

static int run_packets(const check_opts *o, ts_scanner *s)
{
    tee_ctx tee = {nullptr, s};
    AVIOContext *pb = nullptr;
    AVFormatContext *fmt = nullptr;
    AVPacket *pkt = nullptr;
    uint8_t *buf = nullptr;
    int64_t n = 0;
    int status = 2;
    char err[AV_ERROR_MAX_STRING_SIZE];
    char end[AV_ERROR_MAX_STRING_SIZE + 8];
    int ret;

    if (open_inner(o, &tee.inner) < 0)
        return 2;
    buf = static_cast<uint8_t *>(av_malloc(IO_BUFFER_SIZE));
    if (!buf)
        goto out_close_inner;
    pb = avio_alloc_context(buf, IO_BUFFER_SIZE, 0, &tee, tee_read, nullptr, nullptr);
    if (!pb) {
        av_free(buf);
        goto out_close_inner;
    }
    fmt = avformat_alloc_context();
    if (!fmt)
        goto out_free_pb;
    fmt->pb = pb;
    fmt->interrupt_callback.callback = deadline_passed;
    fmt->interrupt_callback.opaque = const_cast<check_opts *>(o);
    ret = avformat_open_input(&fmt, o->input, av_find_input_format("mpegts"), nullptr);
    if (ret < 0) {
        av_strerror(ret, err, sizeof(err));
        fprintf(stderr, "kestrow_check: cannot read %s as MPEG-TS: %s\n", o->input, err);
        goto out_free_pb;                    // fmt was freed by the failed open
    }
    ret = avformat_find_stream_info(fmt, nullptr);
    if (ret < 0) {
        av_strerror(ret, err, sizeof(err));
        fprintf(stderr, "kestrow_check: no stream information in %s: %s\n", o->input, err);
        goto out_close_input;
    }
    pkt = av_packet_alloc();
    if (!pkt)
        goto out_close_input;

    print_header(o, s, fmt);
    status = 0;
    snprintf(end, sizeof(end), "eof");
    for (;;) {
        if (o->count && n >= o->count) {
            snprintf(end, sizeof(end), "count");
            break;
        }
        ret = av_read_frame(fmt, pkt);
        if (ret < 0) {
            if (ret == AVERROR_EXIT || deadline_passed(const_cast<check_opts *>(o))) {
                snprintf(end, sizeof(end), "stopped");
            } else if (ret != AVERROR_EOF) {
                av_strerror(ret, err, sizeof(err));
                snprintf(end, sizeof(end), "error:%s", err);
                status = 1;
            }
            break;
        }
        print_packet(o, s, fmt, pkt, n);
        n++;
        av_packet_unref(pkt);
    }
    print_end(o, n, end);
    av_packet_free(&pkt);
out_close_input:
    avformat_close_input(&fmt);
out_free_pb:
    av_freep(&pb->buffer);                   // libavformat may have replaced it
    avio_context_free(&pb);
out_close_inner:
    avio_closep(&tee.inner);
    return status;
}

/* ---------------------------------------------------------------------- */
/*
 * --tr290: what a receiver's monitor reads from the raw TS, over the whole
 * input or a window of output time. Two passes over the input: the first
 * learns the layout and every PCR, the second counts with each packet's
 * output time at hand (from the PCRs of one PID, linear in byte position,
 * or from the arrival times of the datagrams).
 */

#define TR_MAX_PCR_PIDS  16
#define TR_MAX_ES        256
#define TR_PSI_SLOTS     (2 + TS_MAX_PROGRAMS)
#define TR_DISC_S        0.1      // a PCR step longer than this, or backwards, is a discontinuity
#define TR_PCR_LIMIT_S   0.04
#define TR_NEW_LINE_S    60.0     // a longer step forward starts a new timeline
#define TR_PCR_HZ        27000000.0

/* One PCR of a PID and the timeline through it. */
struct pcr_point {
    int64_t offset;       // byte offset of its packet
    int64_t pcr;          // 27 MHz
    double sec;           // on the timeline, from the PID's first PCR
    double pace;          // seconds per byte from this PCR to the next
    int flagged;          // discontinuity_indicator set
};

/* The PCRs of one PID over the whole input. */
struct pcr_track {
    int pid;
    pcr_point *points;
    int count;
    int cap;
    int cursor;           // the last point at or before the offset asked last
    double pace_before;   // seconds per byte before the first PCR
};

/* Arrival time of each datagram (kestrow_udp --log: seconds, byte offset). */
struct arrival_times {
    double *sec;
    int64_t *offset;
    int count;
    int cursor;
};

/* One table's sections: PAT, a PMT (by program_number), SDT actual. */
struct tr_table {
    int pid;
    int table_id;
    int program;          // PMT: program_number; 0 otherwise
    double limit;         // seconds
    int64_t sections;
    int64_t crc_errors;
    int64_t over_limit;
    double first, last;   // output time; NAN before one
    double max_interval, max_at;
};

/* The PCRs of one PCR PID in the window. */
struct tr_pcr {
    int pid;
    int64_t pcrs;
    int64_t over;             // forward steps over 40 ms
    int64_t disc_flagged;     // steps back or over 100 ms with discontinuity_indicator
    int64_t disc_unflagged;
    int has_last;
    int last_in;
    int64_t last_pcr;
    double last_t;
    double max_step, max_step_at;   // 27 MHz ticks, output time of the earlier PCR
    double max_gap, max_gap_at;     // seconds of output time
};

/* One elementary PID of the PMTs. */
struct tr_es {
    int pid;
    int program;
    int stream_type;
    int track;            // PCR track of its programme; -1 for none
    int64_t pes_starts;
    int64_t sections;     // SCTE-35: sections started; their table_id checked
    int64_t table_id_errors;
    double first, last, max_interval, max_at;
    int32_t *per_second;
    int seconds;
    int32_t *leads;       // 90 kHz: DTS (or PTS) minus the PCR at the PES start
    int lead_count;
    int lead_cap;
};

struct tr_psi {
    int pid;
    int len;              // -1 between sections
    uint8_t buf[TS_MAX_SECTION];
};

struct tr_state {
    const check_opts *o;
    const ts_scanner *layout;     // the first pass: programmes and streams
    const ts_scanner *reader;     // the second pass: its sync losses
    pcr_track tracks[TR_MAX_PCR_PIDS];
    int track_count;
    int clock;                    // track of the output time; -1 with arrival times
    arrival_times arrivals;
    double t0;                    // output time of the first byte
    double now;                   // output time of the packet at hand
    int in;                       // the packet lies in the window
    int64_t packets;
    double first_t, last_t;
    ts_cc_state cc[TS_PID_COUNT];
    int64_t pid_packets[TS_PID_COUNT];
    int64_t pid_cc_errors[TS_PID_COUNT];
    int64_t pid_scrambled[TS_PID_COUNT];
    double first_cc_error[TS_PID_COUNT];
    int16_t es_of[TS_PID_COUNT];  // index in es, -1 for none
    int16_t psi_of[TS_PID_COUNT];
    int16_t pcr_of[TS_PID_COUNT];
    tr_es es[TR_MAX_ES];
    int es_count;
    tr_psi psi[TR_PSI_SLOTS];
    int psi_count;
    tr_table pat, sdt;
    tr_table pmts[TS_MAX_PROGRAMS];
    int pmt_count;
    tr_pcr pcr[TR_MAX_PCR_PIDS];
    int pcr_count;
    int failed;                   // out of memory
};

static int grow(void **p, int *cap, int need, size_t elem)
{
    if (need <= *cap)
        return 0;
    int n = *cap ? *cap : 256;
    while (n < need)
        n *= 2;
    void *q = realloc(*p, n * elem);
    if (!q)
        return -ENOMEM;
    *p = q;
    *cap = n;
    return 0;
}

static int64_t packet_pcr(const uint8_t *p)
{
    if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10))
        return -1;
    int64_t base = ((int64_t)p[6] << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
    return base * 300 + (((p[10] & 1) << 8) | p[11]);
}

static pcr_track *find_track(tr_state *t, int pid)
{
    for (int i = 0; i < t->track_count; i++)
        if (t->tracks[i].pid == pid)
            return &t->tracks[i];
    return nullptr;
}

/* First pass: the layout, and every PCR of every PID. */
static void tr_first_packet(void *ctx, const uint8_t *p, int64_t offset)
{
    tr_state *t = static_cast<tr_state *>(ctx);
    ts_scanner *s = const_cast<ts_scanner *>(t->layout);
    scan_packet(s, p);
    int64_t pcr = packet_pcr(p);
    if (pcr < 0 || (p[1] & 0x80))
        return;
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    pcr_track *k = find_track(t, pid);
    if (!k) {
        if (t->track_count == TR_MAX_PCR_PIDS)
            return;
        k = &t->tracks[t->track_count++];
        k->pid = pid;
    }
    if (grow(reinterpret_cast<void **>(&k->points), &k->cap, k->count + 1, sizeof(pcr_point)) < 0) {
        t->failed = 1;
        return;
    }
    pcr_point *pt = &k->points[k->count++];
    pt->offset = offset;
    pt->pcr = pcr;
    pt->flagged = (p[5] & 0x80) != 0;
}

/*
 * The timeline of a track: seconds from its first PCR at each PCR, and the
 * pace between them. Across a step back, over a minute or flagged by the
 * discontinuity_indicator (a new timeline) the time goes on at the last pace; before a leap forward longer than a
 * discontinuity (an outage) the packets keep the last pace and the leap
 * comes after them. -1 when the PCRs give no pace at all.
 */
static int track_finish(pcr_track *k)
{
    if (k->count < 2)
        return -1;
    double first = 0, any = 0;
    for (int i = 1; i < k->count && !first; i++) {
        double d = ts_pcr_diff(k->points[i].pcr, k->points[i - 1].pcr) / TR_PCR_HZ;
        int64_t bytes = k->points[i].offset - k->points[i - 1].offset;
        if (d > 0 && bytes > 0 && d <= TR_NEW_LINE_S && !k->points[i].flagged) {
            if (!any)
                any = d / bytes;
            if (d <= TR_DISC_S)
                first = d / bytes;
        }
    }
    if (!first)
        first = any;
    if (!first)
        return -1;
    double pace = first;
    k->pace_before = first;
    k->points[0].sec = 0;
    for (int i = 1; i < k->count; i++) {
        pcr_point *a = &k->points[i - 1], *b = &k->points[i];
        double d = ts_pcr_diff(b->pcr, a->pcr) / TR_PCR_HZ;
        int64_t bytes = b->offset - a->offset;
        if (b->flagged) {
            a->pace = pace;
            b->sec = a->sec + pace * bytes;
        } else if (d >= 0 && d <= TR_DISC_S) {
            if (d > 0 && bytes > 0)
                pace = d / bytes;
            a->pace = bytes > 0 ? d / bytes : pace;
            b->sec = a->sec + d;
        } else if (d > 0 && d <= TR_NEW_LINE_S) {
            a->pace = pace;
            b->sec = a->sec + d;
        } else {
            a->pace = pace;
            b->sec = a->sec + pace * bytes;
        }
    }
    k->points[k->count - 1].pace = pace;
    k->cursor = 0;
    return 0;
}

/* Seconds on the track's timeline at a byte offset; offsets asked in order. */
static double track_time(pcr_track *k, int64_t offset, const pcr_point **at)
{
    const pcr_point *pt = k->points;
    if (offset < pt[0].offset) {
        *at = &pt[0];
        return pt[0].sec - (pt[0].offset - offset) * k->pace_before;
    }
    while (k->cursor + 1 < k->count && pt[k->cursor + 1].offset <= offset)
        k->cursor++;
    const pcr_point *a = &pt[k->cursor];
    double v = a->sec + (offset - a->offset) * a->pace;
    if (k->cursor + 1 < k->count && v > pt[k->cursor + 1].sec)
        v = pt[k->cursor + 1].sec;
    *at = a;
    return v;
}

/* The PCR (27 MHz) the track gives a byte offset. */
static int64_t track_pcr(pcr_track *k, int64_t offset)
{
    const pcr_point *a = nullptr;
    double v = track_time(k, offset, &a);
    return a->pcr + llround((v - a->sec) * TR_PCR_HZ);
}

static int load_arrivals(const char *path, arrival_times *a)
{
    FILE *f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "kestrow_check: cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    int cap_sec = 0, cap_off = 0;
    double sec;
    long long off;
    int ret = 0;
    while (fscanf(f, "%lf %lld", &sec, &off) == 2) {
        if (grow(reinterpret_cast<void **>(&a->sec), &cap_sec, a->count + 1, sizeof(double)) < 0
            || grow(reinterpret_cast<void **>(&a->offset), &cap_off, a->count + 1, sizeof(int64_t)) < 0) {
            ret = -1;
            break;
        }
        a->sec[a->count] = sec;
        a->offset[a->count++] = off;
    }
    fclose(f);
    if (!ret && !a->count) {
        fprintf(stderr, "kestrow_check: no arrival times in %s\n", path);
        ret = -1;
    }
    return ret;
}

/* Arrival of the datagram holding the byte at offset, from the first one's. */
static double arrival_time(arrival_times *a, int64_t offset)
{
    while (a->cursor + 1 < a->count && a->offset[a->cursor + 1] <= offset)
        a->cursor++;
    return a->sec[a->cursor] - a->sec[0];
}

static void table_init(tr_table *tb, int pid, int table_id, int program, double limit)
{
    tb->pid = pid;
    tb->table_id = table_id;
    tb->program = program;
    tb->limit = limit;
    tb->first = tb->last = NAN;
    tb->max_interval = tb->max_at = NAN;
}

/* An event at output time now in the window: the longest interval since the last one. */
static void interval_seen(double now, double *first, double *last, double *max, double *at)
{
    if (std::isnan(*first)) {
        *first = now;
    } else if (std::isnan(*max) || now - *last > *max) {
        *max = now - *last;
        *at = *last;
    }
    *last = now;
}

static void table_seen(const tr_state *t, tr_table *tb, int crc_ok)
{
    if (!t->in)
        return;
    if (!crc_ok) {
        tb->crc_errors++;
        return;
    }
    tb->sections++;
    if (!std::isnan(tb->last) && t->now - tb->last > tb->limit)
        tb->over_limit++;
    interval_seen(t->now, &tb->first, &tb->last, &tb->max_interval, &tb->max_at);
}

static void add_psi(tr_state *t, int pid)
{
    if (t->psi_of[pid] >= 0 || t->psi_count == TR_PSI_SLOTS)
        return;
    t->psi[t->psi_count].pid = pid;
    t->psi[t->psi_count].len = -1;
    t->psi_of[pid] = static_cast<int16_t>(t->psi_count++);
}

static tr_table *pmt_table(tr_state *t, int number, int pid)
{
    for (int i = 0; i < t->pmt_count; i++)
        if (t->pmts[i].program == number) {
            t->pmts[i].pid = pid;
            return &t->pmts[i];
        }
    if (t->pmt_count == TS_MAX_PROGRAMS)
        return nullptr;
    tr_table *tb = &t->pmts[t->pmt_count++];
    table_init(tb, pid, 0x02, number, 0.5);
    return tb;
}

static void tr_section(void *ctx, int pid, const uint8_t *sec, int len)
{
    tr_state *t = static_cast<tr_state *>(ctx);
    int crc_ok = section_crc_ok(sec, len);
    if (pid == 0 && sec[0] == 0x00) {
        table_seen(t, &t->pat, crc_ok);
        if (!crc_ok || !(sec[5] & 0x01))
            return;
        for (int i = 8; i + 4 <= len - 4; i += 4) {
            int number = (sec[i] << 8) | sec[i + 1];
            if (number && pmt_table(t, number, ((sec[i + 2] & 0x1F) << 8) | sec[i + 3]))
                add_psi(t, ((sec[i + 2] & 0x1F) << 8) | sec[i + 3]);
        }
        return;
    }
    if (pid == 0x11 && sec[0] == 0x42) {
        table_seen(t, &t->sdt, crc_ok);
        return;
    }
    if (sec[0] != 0x02 || len < 12)
        return;
    int number = (sec[3] << 8) | sec[4];
    for (int i = 0; i < t->pmt_count; i++)
        if (t->pmts[i].program == number && t->pmts[i].pid == pid)
            table_seen(t, &t->pmts[i], crc_ok);
}

static void tr_pcr_seen(tr_state *t, tr_pcr *c, const uint8_t *p, int64_t pcr)
{
    int flagged = (p[5] & 0x80) != 0;
    if (c->has_last && c->last_in && t->in) {
        int64_t d = ts_pcr_diff(pcr, c->last_pcr);
        if (d < 0 || d > TR_DISC_S * TR_PCR_HZ) {
            if (flagged)
                c->disc_flagged++;
            else
                c->disc_unflagged++;
        }
        if (!flagged && d >= 0) {
            if (std::isnan(c->max_step) || d > c->max_step) {
                c->max_step = static_cast<double>(d);
                c->max_step_at = c->last_t;
            }
            c->over += d > TR_PCR_LIMIT_S * TR_PCR_HZ;
        }
        if (std::isnan(c->max_gap) || t->now - c->last_t > c->max_gap) {
            c->max_gap = t->now - c->last_t;
            c->max_gap_at = c->last_t;
        }
    }
    c->pcrs += t->in;
    c->has_last = 1;
    c->last_in = t->in;
    c->last_pcr = pcr;
    c->last_t = t->now;
}

static int64_t pes_timestamp(const uint8_t *b)
{
    return ((int64_t)((b[0] >> 1) & 7) << 30) | (b[1] << 22) | ((b[2] >> 1) << 15) | (b[3] << 7) | (b[4] >> 1);
}

static void tr_pes_start(tr_state *t, tr_es *e, const uint8_t *p, const uint8_t *payload, int size,
                         int64_t offset)
{
    e->pes_starts++;
    int second = static_cast<int>(t->now - t->o->window_from);
    if (second >= e->seconds) {
        int cap = e->seconds;
        if (grow(reinterpret_cast<void **>(&e->per_second), &cap, second + 1, sizeof(int32_t)) < 0) {
            t->failed = 1;
            return;
        }
        memset(e->per_second + e->seconds, 0, (cap - e->seconds) * sizeof(int32_t));
        e->seconds = cap;
    }
    e->per_second[second]++;
    interval_seen(t->now, &e->first, &e->last, &e->max_interval, &e->max_at);
    if (e->stream_type == 0x86) {
        e->sections++;
        if (size < 1 || 1 + payload[0] >= size || payload[1 + payload[0]] != 0xFC)
            e->table_id_errors++;
        return;
    }
    // The PES header in the clear: DTS, or the PTS alone, against the PCR at its place.
    if ((p[3] & 0xC0) || e->track < 0 || size < 14 || payload[0] || payload[1] || payload[2] != 1)
        return;
    int flags = payload[7] >> 6;
    if (flags < 2 || (flags == 3 && size < 19))
        return;
    int64_t ts = pes_timestamp(payload + (flags == 3 ? 14 : 9));
    int64_t pcr = track_pcr(&t->tracks[e->track], offset) / 300;
    int64_t lead = ts_pts_diff(ts, pcr);
    if (grow(reinterpret_cast<void **>(&e->leads), &e->lead_cap, e->lead_count + 1, sizeof(int32_t)) < 0) {
        t->failed = 1;
        return;
    }
    e->leads[e->lead_count++] = static_cast<int32_t>(lead < INT32_MIN ? INT32_MIN : lead > INT32_MAX ? INT32_MAX : lead);
}

/* Second pass: every count, by the packet's output time. */
static void tr_second_packet(void *ctx, const uint8_t *p, int64_t offset)
{
    tr_state *t = static_cast<tr_state *>(ctx);
    const pcr_point *at;
    t->now = (t->clock >= 0 ? track_time(&t->tracks[t->clock], offset, &at)
                            : arrival_time(&t->arrivals, offset)) - t->t0;
    t->in = t->now >= t->o->window_from && t->now < t->o->window_to;
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    if (t->in) {
        if (!t->packets++)
            t->first_t = t->now;
        t->last_t = t->now;
        t->pid_packets[pid]++;
        t->pid_scrambled[pid] += (p[3] & 0xC0) != 0;
    }
    if (pid == TS_NULL_PID)
        return;
    int64_t errors = t->cc[pid].errors;
    check_continuity(&t->cc[pid], p);
    if (t->in && t->cc[pid].errors > errors && !t->pid_cc_errors[pid]++)
        t->first_cc_error[pid] = t->now;
    if (t->pcr_of[pid] >= 0) {
        int64_t pcr = packet_pcr(p);
        if (pcr >= 0 && !(p[1] & 0x80))
            tr_pcr_seen(t, &t->pcr[t->pcr_of[pid]], p, pcr);
    }
    int afc = (p[3] >> 4) & 3;
    if ((p[1] & 0x80) || !(afc & 1))
        return;
    int off = 4 + ((afc & 2) ? 1 + p[4] : 0);
    if (off >= TS_PACKET_SIZE)
        return;
    int unit_start = (p[1] & 0x40) != 0;
    if (t->psi_of[pid] >= 0) {
        tr_psi *ps = &t->psi[t->psi_of[pid]];
        gather_sections(tr_section, t, pid, ps->buf, &ps->len, p + off, TS_PACKET_SIZE - off,
                        unit_start);
    }
    if (t->in && unit_start && t->es_of[pid] >= 0)
        tr_pes_start(t, &t->es[t->es_of[pid]], p, p + off, TS_PACKET_SIZE - off, offset);
}

/* The tables, PCR PIDs and streams to follow, from the first pass. */
static int tr_setup(tr_state *t)
{
    const ts_scanner *s = t->layout;
    const check_opts *o = t->o;
    for (int i = 0; i < TS_PID_COUNT; i++) {
        t->es_of[i] = t->psi_of[i] = t->pcr_of[i] = -1;
        t->cc[i].last_cc = -1;
        t->first_cc_error[i] = NAN;
    }
    table_init(&t->pat, 0, 0x00, 0, 0.5);
    table_init(&t->sdt, 0x11, 0x42, 0, 2.0);
    add_psi(t, 0);
    add_psi(t, 0x11);
    for (int i = 0; i < s->program_count; i++)
        if (pmt_table(t, s->programs[i].number, s->programs[i].pmt_pid))
            add_psi(t, s->programs[i].pmt_pid);
    int clock_pid = o->pcr_pid >= 0 ? o->pcr_pid : s->program_count ? s->programs[0].pcr_pid : -1;
    for (int i = 0; i < t->track_count; i++) {
        if (track_finish(&t->tracks[i]) < 0)
            continue;
        tr_pcr *c = &t->pcr[t->pcr_count];
        c->pid = t->tracks[i].pid;
        c->max_step = c->max_step_at = c->max_gap = c->max_gap_at = NAN;
        t->pcr_of[c->pid] = static_cast<int16_t>(t->pcr_count++);
    }
    pcr_track *clock = nullptr;
    if (clock_pid >= 0 && t->pcr_of[clock_pid] >= 0)
        clock = find_track(t, clock_pid);
    else if (o->pcr_pid < 0 && t->pcr_count)
        clock = find_track(t, t->pcr[0].pid);   // the first PID with PCRs
    if (!clock && !o->times) {
        fprintf(stderr, "kestrow_check: no PCRs to time the packets by%s\n",
                o->pcr_pid >= 0 ? " on that PID" : "");
        return -1;
    }
    t->clock = clock && !o->times ? static_cast<int>(clock - t->tracks) : -1;
    for (int i = 0; i < s->program_count; i++) {
        const ts_program *prog = &s->programs[i];
        pcr_track *k = prog->pcr_pid >= 0 && t->pcr_of[prog->pcr_pid] >= 0 ? find_track(t, prog->pcr_pid)
                                                                           : clock;
        for (int j = 0; j < prog->es_count && t->es_count < TR_MAX_ES; j++) {
            int pid = prog->es_pids[j];
            if (t->es_of[pid] >= 0)
                continue;
            tr_es *e = &t->es[t->es_count];
            e->pid = pid;
            e->program = prog->number;
            e->stream_type = s->es[pid].stream_type;
            e->track = k ? static_cast<int>(k - t->tracks) : -1;
            e->first = e->last = e->max_interval = e->max_at = NAN;
            t->es_of[pid] = static_cast<int16_t>(t->es_count++);
        }
    }
    // Streams of earlier PMT versions, timed by the clock.
    for (int pid = 0; pid < TS_PID_COUNT && t->es_count < TR_MAX_ES; pid++) {
        if (s->es[pid].stream_type < 0 || t->es_of[pid] >= 0)
            continue;
        tr_es *e = &t->es[t->es_count];
        e->pid = pid;
        e->program = s->es[pid].program;
        e->stream_type = s->es[pid].stream_type;
        e->track = clock ? static_cast<int>(clock - t->tracks) : -1;
        e->first = e->last = e->max_interval = e->max_at = NAN;
        t->es_of[pid] = static_cast<int16_t>(t->es_count++);
    }
    if (t->clock >= 0) {
        const pcr_point *at;
        t->t0 = track_time(clock, 0, &at);
    }
    return 0;
}

static void print_num(const char *key, double v, int decimals)
{
    if (std::isnan(v))
        printf(",\"%s\":null", key);
    else
        printf(",\"%s\":%.*f", key, decimals, v);
}

static int tr_print_table(const tr_state *t, const tr_table *tb, const char *key, int index)
{
    double from = t->o->window_from > 0 ? t->o->window_from : 0;
    double end = t->packets ? t->last_t : from;
    int late = std::isnan(tb->first) ? end - from > tb->limit : tb->first - from > tb->limit;
    if (key)
        printf(",\"%s\":", key);
    else if (index)
        putchar(',');
    printf("{\"pid\":%d,\"table_id\":%d", tb->pid, tb->table_id);
    if (tb->program)
        printf(",\"program\":%d", tb->program);
    printf(",\"limit_ms\":%.0f,\"sections\":%" PRId64 ",\"crc_errors\":%" PRId64, tb->limit * 1000,
           tb->sections, tb->crc_errors);
    print_num("first_s", tb->first, 3);
    printf(",\"first_late\":%s", late ? "true" : "false");
    print_num("last_s", tb->last, 3);
    print_num("max_interval_ms", tb->max_interval * 1000, 1);
    print_num("max_interval_at_s", tb->max_at, 3);
    printf(",\"over_limit\":%" PRId64, tb->over_limit);
    print_num("tail_ms", std::isnan(tb->last) ? NAN : (end - tb->last) * 1000, 1);
    putchar('}');
    return late || tb->over_limit || tb->crc_errors;
}

static int compare_int32(const void *a, const void *b)
{
    int32_t x = *static_cast<const int32_t *>(a), y = *static_cast<const int32_t *>(b);
    return (x > y) - (x < y);
}

/* The JSON report; 1 when it counts an error, 0 otherwise. */
static int tr_print(tr_state *t)
{
    int bad = 0;
    const check_opts *o = t->o;
    const ts_scanner *sync = t->reader;
    int64_t cc = 0;
    for (int pid = 0; pid < TS_PID_COUNT; pid++)
        cc += t->pid_cc_errors[pid];
    printf("{\"format\":\"kestrow_check\",\"version\":1,\"mode\":\"tr290\",\"time\":\"%s\",\"pcr_pid\":",
           t->clock >= 0 ? "pcr" : "arrival");
    if (t->clock >= 0)
        printf("%d", t->tracks[t->clock].pid);
    else
        printf("null");
    printf(",\"window\":{\"from_s\":%.3f,\"to_s\":", o->window_from);
    if (o->window_to < HUGE_VAL)
        printf("%.3f}", o->window_to);
    else
        printf("null}");
    printf(",\"packets\":%" PRId64, t->packets);
    print_num("start_s", t->packets ? t->first_t : NAN, 3);
    print_num("end_s", t->packets ? t->last_t : NAN, 3);
    printf(",\"sync_losses\":%" PRId64 ",\"cc_errors\":%" PRId64, sync->sync_losses, cc);
    bad |= sync->sync_losses || cc;
    bad |= tr_print_table(t, &t->pat, "pat", 0);
    printf(",\"pmts\":[");
    for (int i = 0; i < t->pmt_count; i++)
        bad |= tr_print_table(t, &t->pmts[i], nullptr, i);
    printf("]");
    bad |= tr_print_table(t, &t->sdt, "sdt", 0);
    printf(",\"pcrs\":[");
    for (int i = 0; i < t->pcr_count; i++) {
        const tr_pcr *c = &t->pcr[i];
        printf("%s{\"pid\":%d,\"pcrs\":%" PRId64, i ? "," : "", c->pid, c->pcrs);
        print_num("max_interval_ms", c->max_step / 27000, 1);
        print_num("max_interval_at_s", c->max_step_at, 3);
        printf(",\"over_40ms\":%" PRId64 ",\"disc_flagged\":%" PRId64 ",\"disc_unflagged\":%" PRId64,
               c->over, c->disc_flagged, c->disc_unflagged);
        print_num("max_gap_ms", c->max_gap * 1000, 1);
        print_num("max_gap_at_s", c->max_gap_at, 3);
        putchar('}');
        bad |= c->over || c->disc_unflagged;
    }
    printf("],\"pids\":[");
    int first = 1;
    for (int pid = 0; pid < TS_PID_COUNT; pid++) {
        if (!t->pid_packets[pid])
            continue;
        printf("%s{\"pid\":%d,\"packets\":%" PRId64 ",\"scrambled\":%" PRId64 ",\"cc_errors\":%" PRId64,
               first ? "" : ",", pid, t->pid_packets[pid], t->pid_scrambled[pid], t->pid_cc_errors[pid]);
        print_num("first_cc_error_s", t->first_cc_error[pid], 3);
        putchar('}');
        first = 0;
    }
    printf("],\"streams\":[");
    int seconds = t->packets ? static_cast<int>(t->last_t - o->window_from) + 1 : 0;
    for (int i = 0; i < t->es_count; i++) {
        tr_es *e = &t->es[i];
        printf("%s\n{\"pid\":%d,\"program\":%d,\"stream_type\":%d,\"pes_starts\":%" PRId64
               ",\"pes_per_second\":[", i ? "," : "", e->pid, e->program, e->stream_type, e->pes_starts);
        for (int k = 0; k < seconds; k++)
            printf("%s%d", k ? "," : "", k < e->seconds ? e->per_second[k] : 0);
        printf("]");
        print_num("max_interval_ms", e->max_interval * 1000, 1);
        print_num("max_interval_at_s", e->max_at, 3);
        printf(",\"dts_lead_ms\":");
        if (e->lead_count) {
            qsort(e->leads, e->lead_count, sizeof(int32_t), compare_int32);
            printf("{\"min\":%.1f,\"median\":%.1f,\"max\":%.1f,\"count\":%d}", e->leads[0] / 90.0,
                   e->leads[e->lead_count / 2] / 90.0, e->leads[e->lead_count - 1] / 90.0, e->lead_count);
        } else {
            printf("null");
        }
        if (e->stream_type == 0x86)
            printf(",\"sections\":%" PRId64 ",\"table_id_errors\":%" PRId64, e->sections,
                   e->table_id_errors);
        putchar('}');
    }
    printf("]}\n");
    return bad;
}

static void tr_free(tr_state *t)
{
    for (int i = 0; i < t->track_count; i++)
        free(t->tracks[i].points);
    for (int i = 0; i < t->es_count; i++) {
        free(t->es[i].per_second);
        free(t->es[i].leads);
    }
    free(t->arrivals.sec);
    free(t->arrivals.offset);
    free(t);
}

/* --tr290: two passes over a file; the report as JSON. */
static int run_tr290(const check_opts *o, ts_scanner *s)
{
    tr_state *t = static_cast<tr_state *>(calloc(1, sizeof(tr_state)));
    ts_scanner *sync = nullptr;
    int status = 2;
    if (!t)
        return 2;
    t->o = o;
    t->layout = s;
    if (o->times && load_arrivals(o->times, &t->arrivals) < 0)
        goto out;
    s->hook = tr_first_packet;
    s->hook_ctx = t;
    if (scan_raw(o, s) < 0 || t->failed || tr_setup(t) < 0)
        goto out;
    if (ts_scanner_create(&sync) < 0)
        goto out;
    sync->hook = tr_second_packet;
    sync->hook_ctx = t;
    t->reader = sync;
    if (scan_raw(o, sync) < 0 || t->failed)
        goto out;
    status = tr_print(t);
out:
    if (t->failed)
        fprintf(stderr, "kestrow_check: out of memory\n");
    if (sync)
        ts_scanner_destroy(&sync);
    tr_free(t);
    return status;
}

static void usage(void)
{
    fprintf(stderr,
            "usage: kestrow_check [--json] [--hex | --hex-all] [--cc | --layout] [--duration SEC]\n"
            "                     [--count N] [--verbose] INPUT\n"
            "       kestrow_check --tr290 [--pcr-pid PID] [--times FILE] [--window FROM:TO] FILE\n"
            "       kestrow_check --pictures OUTPUT --input INPUT [--filler FILE ...] [--asrun FILE] ...\n");
}

static int parse_args(int argc, char **argv, check_opts *o)
{
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        char *end = nullptr;
        if (!strcmp(a, "--json")) {
            o->json = 1;
        } else if (!strcmp(a, "--hex")) {
            o->hex = 1;
        } else if (!strcmp(a, "--hex-all")) {
            o->hex = 2;
        } else if (!strcmp(a, "--cc")) {
            o->cc_only = 1;
        } else if (!strcmp(a, "--layout")) {
            o->layout = 1;
        } else if (!strcmp(a, "--verbose")) {
            o->verbose = 1;
        } else if (!strcmp(a, "--duration") && i + 1 < argc) {
            double sec = strtod(argv[++i], &end);
            if (*end || !(sec > 0) || sec > 1e6)
                return -EINVAL;
            o->deadline = av_gettime_relative() + static_cast<int64_t>(sec * 1e6);
        } else if (!strcmp(a, "--tr290")) {
            o->tr290 = 1;
        } else if (!strcmp(a, "--pcr-pid") && i + 1 < argc) {
            long v = strtol(argv[++i], &end, 0);
            if (*end || v < 0 || v >= TS_NULL_PID)
                return -EINVAL;
            o->pcr_pid = static_cast<int>(v);
        } else if (!strcmp(a, "--times") && i + 1 < argc) {
            o->times = argv[++i];
        } else if (!strcmp(a, "--window") && i + 1 < argc) {
            const char *w = argv[++i];
            const char *colon = strchr(w, ':');
            if (!colon)
                return -EINVAL;
            if (colon != w) {
                o->window_from = strtod(w, &end);
                if (end != colon || !(o->window_from >= 0))
                    return -EINVAL;
            }
            if (colon[1]) {
                o->window_to = strtod(colon + 1, &end);
                if (*end || !(o->window_to > o->window_from))
                    return -EINVAL;
            }
        } else if (!strcmp(a, "--count") && i + 1 < argc) {
            long long v = strtoll(argv[++i], &end, 10);
            if (*end || v <= 0)
                return -EINVAL;
            o->count = v;
        } else if (a[0] == '-' && a[1] == '-') {
            return -EINVAL;
        } else if (!o->input) {
            o->input = a;
        } else {
            return -EINVAL;
        }
    }
    if (o->cc_only + o->layout + o->tr290 > 1)
        return -EINVAL;
    if (!o->tr290 && (o->pcr_pid >= 0 || o->times || o->window_from > 0 || o->window_to < HUGE_VAL))
        return -EINVAL;
    if (o->tr290 && (o->count || o->deadline || o->hex))
        return -EINVAL;
    return o->input ? 0 : -EINVAL;
}

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++)
        if (!strcmp(argv[i], "--pictures"))
            return pictures_main(argc, argv);
    check_opts o = {};
    o.pcr_pid = -1;
    o.window_to = HUGE_VAL;
    if (parse_args(argc, argv, &o) < 0) {
        usage();
        return 2;
    }
    av_log_set_level(o.verbose ? AV_LOG_INFO : AV_LOG_ERROR);
    avformat_network_init();
    ts_scanner *s = nullptr;
    if (ts_scanner_create(&s) < 0) {
        avformat_network_deinit();
        return 2;
    }
    if (!o.json && !o.tr290)
        printf("kestrow_check\t1\n");
    int status = o.tr290 ? run_tr290(&o, s) : o.cc_only ? run_cc(&o, s) : o.layout ? run_layout(&o, s)
                                                                               : run_packets(&o, s);
    fflush(stdout);
    ts_scanner_destroy(&s);
    avformat_network_deinit();
    return status;
}
