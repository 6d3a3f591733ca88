/*
 * MPEG-TS input filter: adds "CUEI" to PMTs that declare SCTE 35 without it,
 * reads the PAT, the PMTs and the CAT, chooses the programme that is relayed
 * and feeds the passthrough queue.
 *
 * Bytes read from the source are staged; whole TS packets are examined and
 * rewritten in place, and what precedes an incomplete packet at the end of
 * the stage is handed to the demuxer. The incomplete rest waits for the next
 * read (UDP datagrams hold whole packets, so on air nothing waits). The
 * stage is the demuxer's own buffer whenever that can take what a read may
 * bring: its context's buffer is one packet larger than a read for that,
 * and each byte of the input is then copied once less. Either way the reads
 * from the source, and what the filter does between them, are the same.
 */
#include "ts/ts_in.h"
#include "common/bigmem.h"
#include "common/handoff.h"
#include "ts/ts_pass.h"
#include "ts/ts_psi.h"

#include <cerrno>
#include <cstring>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
#include <libavutil/time.h>
}

/* What becomes of a PID's packets once passthrough has started. */
enum {
    ACT_DEMUX = 1,   // the demuxer sees them
    ACT_PASS = 2,    // copied into the passthrough queue
};

/* What the filter has seen of a PID. */
enum {
    PID_SEEN = 1,
    PID_SCRAMBLED = 2,
    PID_PMT = 4,           // a PMT PID of the PAT
    PID_CHOSEN_ES = 8,     // a stream of the chosen programme
    PID_CHOSEN_CA = 16,    // an ECM PID of the chosen programme
    PID_CHOSEN_READ = 32,  // a stream of the chosen programme of a type the demuxer reads
    PID_EMM = 64,          // an EMM PID the CAT names
    PID_PES_UNTIMED = 128, // a PES began without a PTS (a picture's second part, a second field)
    PID_CLEAR = 256,       // a packet of it carried a payload that was not scrambled
    PID_PES_LIED = 512,       // one of its PES declared a length its bytes up to the next PES start did not match
};

/* The early end of the demuxer's probe (ts_in_set_probe). */
enum {
    PROBE_OFF = 0,
    PROBE_WATCH,     // on: watching the chosen programme's streams
    PROBE_ENDED,     // the demuxer reads the end of the input until ts_in_end_probe
};
#define ACT_RELAYED 4  // act: a stream the relay carries, whose PES the demuxer assembles

#define PMT_MAX 1024  // longest PMT section (section_length up to 1021)

/* A programme of the PAT and its last PMT section. */
struct ts_in_prog {
    int number;
    int pmt_pid;
    int video;        // its PMT lists a video stream
    int len;          // of sec; 0: no PMT read yet
    uint8_t sec[PMT_MAX];
    ts_psi_buf buf;   // gathers its PMT sections
};

struct ts_in {
    AVIOContext *pb;          // the demuxer reads here
    AVIOContext *source;      // opened by ts_in_open_url; null otherwise
    ts_in_read_fn read;
    void *opaque;
    uint8_t *stage;           // buffer_size + one packet
    uint8_t *advised;         // the demuxer's buffer last given huge pages (advise_demux_buffer)
    int cap;
    int len;                  // bytes staged
    int ready;                // [0, ready) examined, handed out from pos
    int pos;
    int eof;
    uint32_t pat_crc;         // CRC_32 of the last PAT taken; 0: none
    ts_in_prog *progs;        // TS_IN_MAX_PROGRAMS
    int prog_count;
    int chosen;               // index into progs; -1: none
    int wanted;               // program_number asked for; 0: the first with video
    int spts;
    int chosen_ca;            // the chosen PMT names ECM PIDs
    ts_psi_buf pat_buf;
    ts_psi_buf cat_buf;
    uint16_t pid_flags[TS_PID_COUNT];
    uint8_t act[TS_PID_COUNT];
    int started;              // ts_in_start_pass was called: act holds
    ts_pass *pass;
    ts_clock clock;           // of the chosen programme's PCR PID
    int clock_pid;            // -1: the first chosen stream that carries a PCR
    int64_t now;
    int64_t video_lead;       // longest lead of a video PES of the chosen programme over its PCR; TS_TIME_NONE
    int64_t yield_period;     // input time between yields at a safe point; 0: never
    int64_t yield_last;       // input time of the last yield (or of the first packet after it was set)
    handoff *lock;            // released around every read from the source; null: none
    std::atomic<int> cancel;  // the reads from the source end with AVERROR_EXIT
    int32_t pes_left[TS_PID_COUNT];  // relayed PES the demuxer has begun: bytes still to come, -1 unbounded
    int pes_open;             // relayed PIDs with pes_left not 0
    int32_t pes_declared[TS_PID_COUNT];  // the chosen programme's PES begun last: its length as declared; -1: none
    int32_t pes_bytes[TS_PID_COUNT];     // its bytes so far, from the packet_start_code_prefix on
    int probe;                // PROBE_*
    int64_t probe_wait;       // 27 MHz: ts_in_set_probe's wait for a stream not seen
    int64_t probe_wall;       // us: how long the probe may last on the wall clock once chosen; 0: no bound
    int64_t probe_wall_from;  // av_gettime_relative() at the first examination after the choice; 0 before
    int64_t chosen_packet;    // packet index at the choice
    int64_t chosen_time;      // input time of the first packet timed after it; TS_TIME_NONE before
    int pmt_wait_over;        // the wait for PMTs before the choice is over (or the input ended)
    int wait_pid;             // the PCR PID that times that wait; -1: none met yet
    int64_t wait_from;        // its first PCR after the PAT (27 MHz)
    int64_t wait_packet;      // packet index of the first packet after the PAT; -1 before
    ts_identity id;
    ts_in_stats stats;
};

static const uint8_t cuei_descriptor[6] = {DESC_REGISTRATION, 4, 'C', 'U', 'E', 'I'};

/* ------------------------------------------------------------------------ */
/* "CUEI" for the demuxer, in place */

/*
 * Offset of the section that starts in packet p (payload_unit_start,
 * pointer_field), or -1 when none starts there or the pointer leaves the
 * packet.
 */
static int section_start(const uint8_t *p)
{
    if (!(p[1] & 0x40))
        return -1;
    int off = ts_payload_offset(p);
    if (off < 0)
        return -1;
    off += 1 + p[off];
    return off + 3 <= TS_PACKET_SIZE ? off : -1;
}

/*
 * Takes one PMT section; sec lies within a packet and room bytes of stuffing
 * follow it there. Returns 1 when "CUEI" was added in place.
 */
static int cuei_pmt(ts_in *f, uint8_t *sec, int len, int room)
{
    if (!ts_psi_valid(sec, len, 0x02, 16))
        return 0;
    f->stats.pmts_seen++;
    int info_len = ((sec[10] & 0x0F) << 8) | sec[11];
    int es_start = 12 + info_len;
    int end = len - 4;
    if (es_start > end)
        return 0;
    int has_cuei = 0;
    for (int o = 12; o + 2 <= es_start && o + 2 + sec[o + 1] <= es_start; o += 2 + sec[o + 1])
        has_cuei |= sec[o] == DESC_REGISTRATION && sec[o + 1] >= 4 &&
                    !memcmp(sec + o + 2, "CUEI", 4);
    int has_scte35 = 0;
    for (int o = es_start; o + 5 <= end; o += 5 + (((sec[o + 3] & 0x0F) << 8) | sec[o + 4]))
        has_scte35 |= sec[o] == PMT_STREAM_TYPE_SCTE35;
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

static void cuei_packet(ts_in *f, uint8_t *p)
{
    int off = section_start(p);
    if (off < 0 || p[off] != 0x02)
        return;
    int total = ts_psi_section_total(p + off);
    if (off + total > TS_PACKET_SIZE)
        f->stats.pmts_unchanged++;  // spans packets: not examined
    else
        cuei_pmt(f, p + off, total, stuffing_after(p, off + total));
}

/* ------------------------------------------------------------------------ */
/* PAT, PMTs and CAT: the programmes and the choice */

static int stream_type_in(int t, const uint8_t *types, int n)
{
    for (int i = 0; i < n; i++)
        if (t == types[i])
            return 1;
    return 0;
}

int ts_stream_type_video(int t)
{
    static const uint8_t types[] = {0x01, 0x02, 0x10, 0x1B, 0x1F, 0x20, 0x24, 0x25, 0x33, 0x42, 0xD1, 0xD2, 0xEA};
    return stream_type_in(t, types, sizeof(types));
}

/*
 * Stream types of ISO/IEC 13818-1, ATSC and DVB that the demuxer reads:
 * video, audio, private data (DVB subtitles, teletext, AC-3), SCTE 35. A
 * stream of another type is not shown to it: one it cannot read makes its
 * probe of a live input wait for the whole probe size.
 */
static int readable_stream_type(int t)
{
    static const uint8_t types[] = {0x01, 0x02, 0x03, 0x04, 0x06, 0x0F, 0x10, 0x11, 0x1B, 0x24, 0x42, 0x81,
                                    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0xD1, 0xD2, 0xEA};
    return stream_type_in(t, types, sizeof(types));
}

static void set_bit(uint8_t *bits, int pid)
{
    bits[pid >> 3] |= (uint8_t)(1 << (pid & 7));
}

/* The CA_PIDs of the CA descriptors in [d, end): flagged (PID_CHOSEN_CA or PID_EMM). */
static int ca_pids(ts_in *f, const uint8_t *d, const uint8_t *end, uint16_t flag)
{
    int found = 0;
    for (; d + 2 <= end && d + 2 + d[1] <= end; d += 2 + d[1]) {
        if (d[0] != DESC_CA || d[1] < 4)
            continue;
        int pid = ((d[4] & 0x1F) << 8) | d[5];
        f->pid_flags[pid] |= flag;
        if (f->started && f->spts && (flag == PID_CHOSEN_CA || f->chosen_ca) && !(f->act[pid] & ACT_DEMUX))
            f->act[pid] |= ACT_PASS;
        found = 1;
    }
    return found;
}

/*
 * Reads a PMT section (valid, at most PMT_MAX bytes) of programme p: whether
 * it lists video, and for the chosen programme its identity, streams and
 * ECM PIDs; for the others their PIDs.
 */
static void read_pmt(ts_in *f, const ts_in_prog *p, int chosen)
{
    const uint8_t *sec = p->sec;
    int info_len = ((sec[10] & 0x0F) << 8) | sec[11];
    int end = p->len - 4;
    if (!p->len || 12 + info_len > end)
        return;
    if (chosen) {
        f->id.pcr_pid = ((sec[8] & 0x1F) << 8) | sec[9];
        f->id.es_count = 0;
        f->chosen_ca = ca_pids(f, sec + 12, sec + 12 + info_len, PID_CHOSEN_CA);
        f->clock_pid = f->id.pcr_pid < TS_NULL_PID ? f->id.pcr_pid : -1;
    } else {
        set_bit(f->id.others, p->pmt_pid);
    }
    for (int o = 12 + info_len; o + 5 <= end;) {
        int pid = ((sec[o + 1] & 0x1F) << 8) | sec[o + 2];
        int es_len = ((sec[o + 3] & 0x0F) << 8) | sec[o + 4];
        if (!chosen) {
            set_bit(f->id.others, pid);
        } else {
            f->pid_flags[pid] |= PID_CHOSEN_ES | (readable_stream_type(sec[o]) ? PID_CHOSEN_READ : 0);
            if (f->started && f->spts && !(f->act[pid] & ACT_DEMUX))
                f->act[pid] |= ACT_PASS;
            bool again = ts_identity_stream_type(&f->id, pid) >= 0;
            if (again && !f->id.twice)
                f->id.twice = pid;
            if (f->id.es_count < TS_IN_MAX_ES && !again) {  // a PID listed twice: once
                f->id.es[f->id.es_count].pid = pid;
                f->id.es[f->id.es_count].stream_type = sec[o];
                f->id.es_count++;
            }
            f->chosen_ca |= ca_pids(f, sec + o + 5, sec + (o + 5 + es_len < end ? o + 5 + es_len : end),
                                    PID_CHOSEN_CA);
        }
        o += 5 + es_len;
    }
}

static void choose(ts_in *f, int i, int how)
{
    f->chosen = i;
    f->chosen_packet = f->stats.packets;
    f->id.chosen = how;
    f->id.program_number = f->progs[i].number;
    f->id.pmt_pid = f->progs[i].pmt_pid;
    for (int k = 0; k < f->prog_count; k++)
        read_pmt(f, &f->progs[k], k == i);
}

/*
 * Chooses the programme once the PMTs that decide it have been read. A
 * programme of the PAT whose PMT has not come is waited for up to
 * TS_IN_PMT_WAIT of input time after the PAT (head-ends list programmes
 * they no longer send); after that, and at the end of the input, only the
 * programmes whose PMT came are candidates.
 */
static void try_choose(ts_in *f)
{
    if (f->id.chosen != TS_CHOSEN_NONE || f->prog_count == 0)
        return;
    int first = -1;
    for (int i = 0; i < f->prog_count; i++) {
        const ts_in_prog *p = &f->progs[i];
        if (f->wanted) {
            if (p->number == f->wanted && p->len)
                choose(f, i, TS_CHOSEN_ASKED);
            if (p->number == f->wanted)
                return;
            continue;
        }
        if (!p->len) {
            if (!f->pmt_wait_over)
                return;  // an earlier programme's PMT decides first
            continue;
        }
        if (first < 0)
            first = i;
        if (p->video) {
            choose(f, i, TS_CHOSEN_VIDEO);
            return;
        }
    }
    if (!f->wanted && first >= 0)
        choose(f, first, TS_CHOSEN_FIRST);
}

/*
 * The wait for PMTs before the choice, on the first PCR PID met after the
 * PAT (no programme's clock is known yet), else counted in packets.
 */
static void pmt_wait(ts_in *f, const uint8_t *p, int pid)
{
    if (f->id.chosen != TS_CHOSEN_NONE || f->prog_count == 0 || f->pmt_wait_over)
        return;
    if (f->wait_packet < 0)
        f->wait_packet = f->stats.packets;
    int64_t pcr = ts_packet_pcr(p);
    if (pcr >= 0 && f->wait_pid < 0) {
        f->wait_pid = pid;
        f->wait_from = pcr;
    }
    bool over = pcr >= 0 && pid == f->wait_pid && ts_pcr_diff(pcr, f->wait_from) >= TS_IN_PMT_WAIT;
    if (over || f->stats.packets - f->wait_packet >= TS_IN_PMT_WAIT_PACKETS) {
        f->pmt_wait_over = 1;
        try_choose(f);
    }
}

static void pmt_section(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_in *f = (ts_in *)opaque;
    if (!ts_psi_valid(sec, len, 0x02, 16) || len > PMT_MAX)
        return;
    int number = (sec[3] << 8) | sec[4];
    for (int i = 0; i < f->prog_count; i++) {
        ts_in_prog *p = &f->progs[i];
        if (p->pmt_pid != pid || p->number != number)
            continue;
        if (p->len == len && !memcmp(p->sec, sec, len))
            return;  // a repetition
        memcpy(p->sec, sec, len);
        p->len = len;
        int info_len = ((sec[10] & 0x0F) << 8) | sec[11];
        p->video = 0;
        for (int o = 12 + info_len; o + 5 <= len - 4; o += 5 + (((sec[o + 3] & 0x0F) << 8) | sec[o + 4])) {
            p->video |= ts_stream_type_video(sec[o]);
            if (sec[o] == PMT_STREAM_TYPE_SCTE35)
                ts_pass_protect(f->pass, ((sec[o + 1] & 0x1F) << 8) | sec[o + 2]);  // cues passing through stay
        }
        if (f->id.chosen != TS_CHOSEN_NONE)
            read_pmt(f, p, i == f->chosen);
        try_choose(f);
        return;
    }
}

static void pat_section(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_in *f = (ts_in *)opaque;
    (void)pid;
    if (!ts_psi_valid(sec, len, 0x00, 12))
        return;
    uint32_t crc = ((uint32_t)sec[len - 4] << 24) | (sec[len - 3] << 16) | (sec[len - 2] << 8) | sec[len - 1];
    if (crc == f->pat_crc)
        return;  // a repetition
    f->pat_crc = crc;
    f->id.ts_id = (sec[3] << 8) | sec[4];
    if (sec[6] == 0)
        f->prog_count = 0;  // the first section lists the programmes anew
    for (int o = 8; o + 4 <= len - 4 && f->prog_count < TS_IN_MAX_PROGRAMS; o += 4) {
        int number = (sec[o] << 8) | sec[o + 1];
        int pmt_pid = ((sec[o + 2] & 0x1F) << 8) | sec[o + 3];
        if (number == 0)
            continue;  // network PID
        ts_in_prog *p = &f->progs[f->prog_count];
        if (p->number != number || p->pmt_pid != pmt_pid) {
            p->number = number;
            p->pmt_pid = pmt_pid;
            p->len = 0;
            p->video = 0;
            p->buf.pid = pmt_pid;
            p->buf.active = 0;
        }
        f->pid_flags[pmt_pid] |= PID_PMT;
        f->id.numbers[f->prog_count] = number;
        f->id.pmt_pids[f->prog_count] = pmt_pid;
        f->prog_count++;
    }
    f->id.programme_count = f->prog_count;
    if (f->id.chosen != TS_CHOSEN_NONE) {
        /* The choice stays; a programme the PAT no longer lists has no index. */
        f->chosen = -1;
        for (int i = 0; i < f->prog_count; i++)
            if (f->progs[i].number == f->id.program_number && f->progs[i].pmt_pid == f->id.pmt_pid)
                f->chosen = i;
    }
    try_choose(f);
}

/* The EMM PIDs the CAT names (conditional access of the whole multiplex). */
static void cat_section(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_in *f = (ts_in *)opaque;
    (void)pid;
    if (ts_psi_valid(sec, len, 0x01, 12))
        ca_pids(f, sec + 8, sec + len - 4, PID_EMM);
}

/* ------------------------------------------------------------------------ */
/* Each packet */

/* Feeds the gatherer of the PSI table pid carries, if any. */
static void take_psi(ts_in *f, const uint8_t *p, int pid)
{
    int off = ts_payload_offset(p);
    if (off < 0)
        return;
    const uint8_t *payload = p + off;
    int n = TS_PACKET_SIZE - off, start = (p[1] & 0x40) != 0;
    if (pid == 0) {
        ts_psi_feed(&f->pat_buf, payload, n, start, pat_section, f);
    } else if (pid == 1) {
        ts_psi_feed(&f->cat_buf, payload, n, start, cat_section, f);
    } else if (f->pid_flags[pid] & PID_PMT) {
        for (int i = 0; i < f->prog_count; i++)
            if (f->progs[i].pmt_pid == pid) {
                ts_psi_feed(&f->progs[i].buf, payload, n, start, pmt_section, f);
                return;
            }
    }
}

/* The input clock at packet index, and the leads of the chosen streams. */
static void take_time(ts_in *f, const uint8_t *p, int pid, int64_t index)
{
    int64_t pcr = ts_packet_pcr(p);
    if (pcr >= 0 && f->chosen >= 0 && f->clock_pid < 0 && (f->pid_flags[pid] & PID_CHOSEN_ES))
        f->clock_pid = pid;  // the PMT names no PCR PID: the first stream that carries one
    if (pcr >= 0 && pid == f->clock_pid)
        ts_clock_take(&f->clock, index, pcr);
    f->now = ts_clock_at(&f->clock, index);
    if (!f->pass || f->now == TS_TIME_NONE || !(f->pid_flags[pid] & PID_CHOSEN_ES))
        return;
    int64_t dts = ts_pes_start_dts(p);
    if (dts < 0)
        return;
    int64_t lead = ts_pcr_diff(dts * 300, f->now);
    ts_pass_lead_in(f->pass, pid, lead);
    if (ts_stream_type_video(ts_identity_stream_type(&f->id, pid)) && lead < TS_IN_LEAD_MAX &&
        (f->video_lead == TS_TIME_NONE || lead > f->video_lead))
        f->video_lead = lead;
}

/*
 * What becomes of a PID's packets before ts_in_start_pass: every one is
 * queued, and the demuxer sees every one until a programme is chosen, from
 * then on only those it needs for that programme.
 */
static int probe_act(const ts_in *f, int pid)
{
    if (pid == TS_NULL_PID)
        return ACT_DEMUX;
    if (f->id.chosen == TS_CHOSEN_NONE || pid == 0 || pid == f->id.pmt_pid || pid == f->id.pcr_pid ||
        (f->pid_flags[pid] & PID_CHOSEN_READ))
        return ACT_DEMUX | ACT_PASS;
    return ACT_PASS;
}

/* Whether clear packet p, which starts a payload unit, starts a PES without a PTS. */
static bool pes_untimed(const uint8_t *p)
{
    int o = 4;
    if (p[3] & 0x20)
        o += 1 + p[4];
    if (o + 9 > TS_PACKET_SIZE || p[o] != 0 || p[o + 1] != 0 || p[o + 2] != 1)
        return false;  // a section, or no room for a PES header
    int id = p[o + 3];
    if (id == 0xBC || id == 0xBE || id == 0xBF || id == 0xF0 || id == 0xF1 || id == 0xFF || id == 0xF2 ||
        id == 0xF8)
        return false;  // stream ids without the optional header
    return (p[o + 7] & 0x80) == 0;
}

/*
 * PES lengths that cannot mislead the demuxer. It hands a PES out as soon as
 * its bytes reach the declared PES_packet_length at the end of a TS packet
 * and skips what follows up to the next PES start; a declared end passed
 * inside a packet, or never reached, keeps the PES until the next start.
 * Encoders get the length wrong: one byte short, modulo 65536 over 64 KiB,
 * too long where packets were lost. A PES whose declared end falls on a
 * packet's end before its last byte comes out cut (its rest lost, a picture
 * in parts). Each PES's declared length is checked against its bytes up to
 * the next PES start (stats.pes_lengths_wrong); once one of a stream's PES
 * lied, its PES are given length 0 from the next one on (the PES ends with
 * the next, as most encoders send video): only that first one can be cut.
 * A stream whose lengths are right keeps them, and with them the demuxer's
 * handing out of each PES at its last packet. Packet p carries a clear
 * payload of a stream of the chosen programme.
 */
static void mend_pes_length(ts_in *f, uint8_t *p, int pid)
{
    int off = ts_payload_offset(p);
    if (off < 0 || off >= TS_PACKET_SIZE)
        return;
    int n = TS_PACKET_SIZE - off;
    int32_t declared = f->pes_declared[pid];
    if (!(p[1] & 0x40)) {
        if (declared < 0)
            return;
        if (declared > 0 && f->pes_bytes[pid] == declared + 6) {
            f->pid_flags[pid] |= PID_PES_LIED;  // more after a declared end on a packet's end: cut
            f->stats.pes_lengths_wrong++;
            f->pes_declared[pid] = -1;
        }
        f->pes_bytes[pid] += n;
        return;
    }
    if (declared > 0 && f->pes_bytes[pid] != declared + 6) {
        f->pid_flags[pid] |= PID_PES_LIED;
        f->stats.pes_lengths_wrong++;
    }
    uint8_t *q = p + off;
    if (n < 6 || q[0] != 0 || q[1] != 0 || q[2] != 1) {
        f->pes_declared[pid] = -1;  // no PES starts here
        return;
    }
    f->pes_declared[pid] = (q[4] << 8) | q[5];
    f->pes_bytes[pid] = n;
    if (f->pes_declared[pid] && (f->pid_flags[pid] & PID_PES_LIED)) {
        q[4] = 0;
        q[5] = 0;
    }
}

/*
 * The demuxer's view of a relayed PID's PES: a PES it has begun and not
 * yet handed out is open: until the packet its declared length ends at the
 * end of, or with a length 0 or a declared end passed inside a packet, up
 * to the next PES start (mend_pes_length). The filter yields only while none
 * is open, so that the demuxer, which hands out what it holds when a read
 * fails, never hands out a part.
 */
static void track_pes(ts_in *f, const uint8_t *p, int pid)
{
    int off = ts_payload_offset(p);
    if (off < 0 || off >= TS_PACKET_SIZE)
        return;
    int n = TS_PACKET_SIZE - off;
    int32_t before = f->pes_left[pid], left = before;
    if (p[1] & 0x40) {
        const uint8_t *q = p + off;
        if (n >= 6 && q[0] == 0 && q[1] == 0 && q[2] == 1) {
            int len = (q[4] << 8) | q[5];
            left = len == 0 ? -1 : len + 6 - n;
        } else {
            left = 0;  // no PES start: the demuxer skips to the next
        }
    } else if (left > 0) {
        left -= n;
    }
    if (left < -1)
        left = -1;  // the declared end passed inside a packet: held up to the next start
    f->pes_left[pid] = left;
    f->pes_open += (left != 0) - (before != 0);
}

static void take_packet(ts_in *f, uint8_t *p)
{
    int64_t index = f->stats.packets++;
    int pid = ts_pid(p);
    bool scrambled = (p[3] & 0xC0) && (p[3] & 0x10) && pid != TS_NULL_PID;
    f->pid_flags[pid] |= PID_SEEN;
    if (scrambled)
        f->pid_flags[pid] |= PID_SCRAMBLED;
    else if (p[3] & 0x10)
        f->pid_flags[pid] |= PID_CLEAR | ((p[1] & 0x40) && pes_untimed(p) ? PID_PES_UNTIMED : 0);
    if (pid <= 1 || (f->pid_flags[pid] & PID_PMT))
        take_psi(f, p, pid);
    pmt_wait(f, p, pid);
    take_time(f, p, pid, index);
    if (!f->pass) {
        if (f->pid_flags[pid] & PID_PMT)
            cuei_packet(f, p);
        return;
    }
    int act = f->started ? f->act[pid] : probe_act(f, pid);
    /* What a live input's probe reads is stale once the relay runs (ts_in_flush): not kept. */
    if ((act & ACT_PASS) && (f->started || (f->source && (f->source->seekable & AVIO_SEEKABLE_NORMAL))))
        ts_pass_push(f->pass, p, f->now);
    if ((f->pid_flags[pid] & PID_CHOSEN_ES) && (p[3] & 0x10) && !scrambled && !(p[1] & 0x80))
        mend_pes_length(f, p, pid);
    if ((act & ACT_RELAYED) && (p[3] & 0x10) && !(p[1] & 0x80))
        track_pes(f, p, pid);
    /* A payload the demuxer must not read: scrambled, or of a stream of a type it does not read (the PCR PID's). */
    bool hide = scrambled || (f->pid_flags[pid] & (PID_CHOSEN_ES | PID_CHOSEN_READ)) == PID_CHOSEN_ES;
    if (!(act & ACT_DEMUX) || (hide && !(p[3] & 0x20))) {
        /* A null packet for the demuxer: no unit start, or it would look for a PES there. */
        p[1] = TS_NULL_PID >> 8;
        p[2] = (uint8_t)TS_NULL_PID;
        p[3] = 0x10;
    } else if (hide) {
        p[3] = (p[3] & 0x0F) | 0x20;  // the adaptation field alone, with its PCR
    } else if (f->pid_flags[pid] & PID_PMT) {
        cuei_packet(f, p);
    }
}

/*
 * Whether the probe has learnt all it can of the chosen programme: each of
 * its video streams is scrambled or of a type the demuxer does not read
 * (nothing of it can be spliced, whatever its audio), or, without video,
 * none of its streams the demuxer reads (SCTE 35 aside: its PMT entry says
 * all) has shown a clear payload and each was seen scrambled or the wait
 * for those not seen is over (from the first time known after the choice).
 * A clear one leaves the end to the demuxer, whose probe is bounded by the
 * time its packets span.
 */
static bool probe_decided(ts_in *f)
{
    if (f->id.chosen == TS_CHOSEN_NONE)
        return false;
    if (f->chosen_time == TS_TIME_NONE)
        f->chosen_time = f->now;
    if (f->probe_wall > 0) {
        int64_t now = av_gettime_relative();
        if (!f->probe_wall_from)
            f->probe_wall_from = now;
        else if (now - f->probe_wall_from >= f->probe_wall)
            return true;
    }
    bool video = false, video_readable = false, clear = false, unseen = false;
    for (int i = 0; i < f->id.es_count; i++) {
        int type = f->id.es[i].stream_type;
        uint16_t flags = f->pid_flags[f->id.es[i].pid];
        bool is_video = ts_stream_type_video(type);
        video |= is_video;
        if (!readable_stream_type(type) || type == PMT_STREAM_TYPE_SCTE35 || (flags & PID_SCRAMBLED))
            continue;
        video_readable |= is_video;
        clear |= (flags & PID_CLEAR) != 0;
        unseen |= !(flags & PID_CLEAR);
    }
    if (video && !video_readable)
        return true;
    if (clear)
        return false;
    if (!unseen)
        return true;
    if (f->chosen_time != TS_TIME_NONE && f->now != TS_TIME_NONE)
        return f->now - f->chosen_time >= f->probe_wait;
    return f->stats.packets - f->chosen_packet >= TS_IN_PROBE_PACKETS;
}

/*
 * Examines the *len staged bytes at data: whole packets are taken (and stay
 * there, compacted), bytes outside them are left out (*len shrinks by as
 * many). Returns how many bytes can be handed out: whole packets only, so
 * that the demuxer stays aligned on them whenever a read of its yields.
 */
static int examine(ts_in *f, uint8_t *data, int *len)
{
    int i = 0, out = 0;
    while (i < *len) {
        if (data[i] != TS_SYNC_BYTE) {
            f->stats.bytes_skipped++;
            i++;
            continue;
        }
        if (i + TS_PACKET_SIZE > *len)
            break;
        if (out != i)
            memmove(data + out, data + i, TS_PACKET_SIZE);
        take_packet(f, data + out);
        i += TS_PACKET_SIZE;
        out += TS_PACKET_SIZE;
    }
    if (out != i) {
        memmove(data + out, data + i, *len - i);
        *len -= i - out;
    }
    if (f->probe == PROBE_WATCH && probe_decided(f))
        f->probe = PROBE_ENDED;
    return out;
}

/* Whether the demuxer's next read is to fail with AVERROR(EAGAIN): a yield is due and no relayed PES is open. */
static bool yield_due(ts_in *f)
{
    if (!f->yield_period || f->now == TS_TIME_NONE || f->pes_open > 0)
        return false;
    if (f->yield_last == TS_TIME_NONE || f->now < f->yield_last) {
        f->yield_last = f->now;
        return false;
    }
    if (f->now - f->yield_last < f->yield_period)
        return false;
    f->yield_last = f->now;
    return true;
}

/*
 * A read from the source into dst, as much as the stage has room for, the
 * lock given up meanwhile; its own timeouts (AVERROR(EAGAIN)) are waited out.
 */
static int read_source_bytes(ts_in *f, uint8_t *dst)
{
    for (;;) {
        if (f->cancel.load())
            return AVERROR_EXIT;
        if (f->lock)
            handoff_release(f->lock);
        int n = f->read(f->opaque, dst, f->cap - f->len);
        if (f->lock)
            handoff_acquire(f->lock);
        if (n != AVERROR(EAGAIN))
            return n;
    }
}

/*
 * The demuxer's probe of a context that cannot seek grows its buffer to
 * megabytes (a seekback of the probe size), which its reads then walk
 * through once: a page fault per 4 KiB, which on a virtual machine costs
 * more than the bytes read there. The part of it not yet touched is given
 * huge pages, once per buffer.
 */
static void advise_demux_buffer(ts_in *f)
{
    if (f->pb->buffer == f->advised || f->pb->buffer_size < 2 * (int)BIGMEM_PAGE)
        return;
    f->advised = f->pb->buffer;
    bigmem_advise(f->pb->buffer, (size_t)f->pb->buffer_size);
}

static int read_packet(void *opaque, uint8_t *buf, int size)
{
    ts_in *f = (ts_in *)opaque;
    advise_demux_buffer(f);
    if (f->pos == f->ready) {
        if (f->probe == PROBE_ENDED)
            return AVERROR_EOF;  // what was examined is handed out first
        memmove(f->stage, f->stage + f->ready, f->len - f->ready);
        f->len -= f->ready;
        f->ready = 0;
        f->pos = 0;
        if (yield_due(f))
            return AVERROR(EAGAIN);
        while (f->ready == 0) {
            if (f->eof) {
                if (f->len == 0)
                    return AVERROR_EOF;
                f->stats.bytes_skipped += f->len;  // an incomplete last packet
                f->len = 0;
                return AVERROR_EOF;
            }
            /* In buf when it holds what waits and all a read may bring; the incomplete rest then waits here. */
            bool in_buf = size >= f->cap;
            if (in_buf)
                memcpy(buf, f->stage, f->len);
            int n = read_source_bytes(f, (in_buf ? buf : f->stage) + f->len);
            if (n == 0 || n == AVERROR_EOF) {
                f->eof = 1;
                f->pmt_wait_over = 1;  // the PMTs that came are all there are
                try_choose(f);
                continue;
            }
            if (n < 0)
                return n;
            f->len += n;
            if (!in_buf) {
                f->ready = examine(f, f->stage, &f->len);
                continue;
            }
            int out = examine(f, buf, &f->len);
            f->len -= out;
            memcpy(f->stage, buf + out, f->len);
            if (out > 0)
                return out;
        }
    }
    int n = f->ready - f->pos;
    if (n > size)
        n = size >= TS_PACKET_SIZE ? size - size % TS_PACKET_SIZE : size;
    memcpy(buf, f->stage + f->pos, n);
    f->pos += n;
    return n;
}

/*
 * A read from the URL opened: what the source has. A file (seekable) reads
 * straight into the stage whenever its context holds nothing, a block of
 * the context's buffer size as a buffered read would return, without the
 * copy through that buffer: every byte of the input is copied once less,
 * and the reads the stage sees are the same.
 */
static int read_source(void *opaque, uint8_t *buf, int size)
{
    AVIOContext *source = (AVIOContext *)opaque;
    if (source->direct && size >= source->buffer_size && source->buf_ptr == source->buf_end)
        return avio_read(source, buf, source->buffer_size);
    return avio_read_partial(source, buf, size);
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
    f->progs = (ts_in_prog *)av_calloc(TS_IN_MAX_PROGRAMS, sizeof(ts_in_prog));
    /* The demuxer's buffer holds a whole stage, so that its reads can be examined in place. */
    uint8_t *io_buf = (uint8_t *)av_malloc(f->cap);
    if (f->stage && f->progs && io_buf)
        f->pb = avio_alloc_context(io_buf, f->cap, 0, f, read_packet, nullptr, nullptr);
    if (!f->pb) {
        av_free(io_buf);
        av_free(f->progs);
        av_free(f->stage);
        av_free(f);
        return -ENOMEM;
    }
    f->id.ts_id = -1;
    f->id.program_number = -1;
    f->id.pmt_pid = -1;
    f->id.pcr_pid = -1;
    f->chosen = -1;
    f->clock_pid = -1;
    f->wait_pid = -1;
    f->wait_packet = -1;
    f->pat_buf.pid = 0;
    f->cat_buf.pid = 1;
    ts_clock_reset(&f->clock);
    f->now = f->yield_last = f->chosen_time = f->video_lead = TS_TIME_NONE;
    memset(f->pes_declared, 0xFF, sizeof(f->pes_declared));
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
    source->direct = (source->seekable & AVIO_SEEKABLE_NORMAL) != 0;  // see read_source
    return 0;
}

int ts_in_flush(ts_in *f)
{
    if (!f)
        return -EINVAL;
    if (f->pass)
        ts_pass_clear(f->pass);
    f->len = 0;
    f->ready = 0;
    f->pos = 0;
    memset(f->pes_left, 0, sizeof(f->pes_left));
    f->pes_open = 0;
    memset(f->pes_declared, 0xFF, sizeof(f->pes_declared));
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

int ts_in_set_pass(ts_in *f, int program, int spts, int capacity)
{
    if (!f)
        return -EINVAL;
    if (f->pass || f->stats.packets > 0 || f->len > 0)
        return -EBUSY;
    if (program < 0 || program > 0xFFFF)
        return -ERANGE;
    int ret = ts_pass_create(&f->pass, capacity);
    if (ret < 0)
        return ret;
    f->wanted = f->id.wanted = program;
    f->spts = f->id.spts = spts != 0;
    return 0;
}

ts_pass *ts_in_pass(ts_in *f)
{
    return f ? f->pass : nullptr;
}

int ts_in_start_pass(ts_in *f, const int *relayed, int count)
{
    if (!f || !f->pass || f->chosen < 0)
        return -EINVAL;
    const uint16_t chosen_pids = PID_CHOSEN_ES | PID_CHOSEN_CA | (f->chosen_ca ? PID_EMM : 0);
    for (int pid = 0; pid < TS_PID_COUNT; pid++)
        f->act[pid] = !f->spts || (f->pid_flags[pid] & chosen_pids) ? ACT_PASS : 0;
    if (f->spts && f->chosen_ca)
        f->act[1] = ACT_PASS;
    f->act[0x11] = ACT_PASS;  // the SDT, whole or its one entry
    f->act[TS_NULL_PID] = 0;
    f->act[0] = ACT_DEMUX | (f->spts ? 0 : ACT_PASS);
    f->act[f->id.pmt_pid] = ACT_DEMUX | ACT_PASS;
    int pcr = f->id.pcr_pid;
    if (pcr > 0 && pcr < TS_NULL_PID)
        f->act[pcr] = ACT_DEMUX | (ts_identity_stream_type(&f->id, pcr) >= 0 ? ACT_PASS : 0);
    for (int i = 0; i < count; i++)
        if (relayed[i] >= 0 && relayed[i] < TS_PID_COUNT)
            f->act[relayed[i]] = ACT_DEMUX | ACT_RELAYED;
    uint8_t keep[TS_PID_COUNT];
    for (int pid = 0; pid < TS_PID_COUNT; pid++)
        keep[pid] = (f->act[pid] & ACT_PASS) != 0;
    ts_pass_keep(f->pass, keep);
    f->started = 1;
    return 0;
}

int ts_in_set_probe(ts_in *f, int64_t wait, int64_t wall)
{
    if (!f || wait <= 0 || wall < 0)
        return -EINVAL;
    if (f->stats.packets > 0 || f->len > 0)
        return -EBUSY;
    f->probe = PROBE_WATCH;
    f->probe_wait = wait;
    f->probe_wall = wall;
    f->probe_wall_from = 0;
    return 0;
}

int ts_in_end_probe(ts_in *f)
{
    if (!f)
        return -EINVAL;
    int ended = f->probe == PROBE_ENDED;
    f->probe = PROBE_OFF;
    if (ended)
        f->pb->eof_reached = 0;
    return ended;
}

void ts_in_set_yield(ts_in *f, int64_t period)
{
    if (!f)
        return;
    f->yield_period = period > 0 ? period : 0;
    f->yield_last = TS_TIME_NONE;
}

int ts_in_resume(ts_in *f)
{
    if (!f)
        return -EINVAL;
    f->pb->eof_reached = 0;
    f->pb->error = 0;
    return 0;
}

void ts_in_set_lock(ts_in *f, handoff *lock)
{
    if (f)
        f->lock = lock;
}

void ts_in_cancel(ts_in *f, bool on)
{
    if (f)
        f->cancel.store(on ? 1 : 0);
}

int64_t ts_in_video_lead(const ts_in *f)
{
    return f ? f->video_lead : TS_TIME_NONE;
}

int64_t ts_in_now(const ts_in *f)
{
    return f ? f->now : TS_TIME_NONE;
}

int ts_in_pid_state(const ts_in *f, int pid)
{
    if (!f || pid < 0 || pid >= TS_PID_COUNT || !(f->pid_flags[pid] & PID_SEEN))
        return 0;
    return f->pid_flags[pid] & PID_SCRAMBLED ? 1 : 2;
}

bool ts_in_pes_untimed(const ts_in *f, int pid)
{
    return f && pid >= 0 && pid < TS_PID_COUNT && (f->pid_flags[pid] & PID_PES_UNTIMED);
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

int ts_identity_other(const ts_identity *id, int pid)
{
    return id && pid >= 0 && pid < TS_PID_COUNT && (id->others[pid >> 3] >> (pid & 7)) & 1;
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
    if (f->pass)
        ts_pass_destroy(&f->pass);
    av_free(f->progs);
    av_free(f->stage);
    av_free(f);
    *p = nullptr;
    return 0;
}
