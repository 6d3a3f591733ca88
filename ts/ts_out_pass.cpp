/*
 * The output stage's passthrough: the input's packets that the muxer does not
 * carry, from the passthrough queue (ts/ts_pass.h) into the stage's free
 * places as they fall due on the muxer's clock, byte for byte but for their
 * continuity counters after a rejoin. The input's PAT, relayed PMT and SDT
 * are taken apart on their way out of the queue and go out with the muxer's
 * identity (transport_stream_id, program number, PMT PID, PCR PID unless
 * kept) and the names given; with spts only the relayed programme's. At a
 * constant rate they, and the other programmes' PMTs, become the stage's own
 * tables (ts_out_table_put), else their sections wait for places like the
 * muxer's. A break in a passed PID's counters is the input's: counted apart
 * (ts_out_take_input_cc), not as the output's.
 */
#include "ts/ts_out_internal.h"
#include "ts/ts_pass.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

/* ------------------------------------------------------------------------ */
/* Passthrough: the input's packets, PAT, PMT and SDT. */

/* The input's PAT with the muxer's transport_stream_id, program number and PMT PID. */
static void pass_pat(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    uint8_t *out = s->in_section;
    if (!ts_psi_valid(sec, len, 0x00, 12))
        return;
    memcpy(out, sec, len - 4);
    if (s->mux_ts_id >= 0) {
        out[3] = (uint8_t)(s->mux_ts_id >> 8);
        out[4] = (uint8_t)s->mux_ts_id;
    }
    for (int o = 8; o + 4 <= len - 4 && s->mux_pmt_pid >= 0; o += 4) {
        if (((sec[o] << 8) | sec[o + 1]) != s->pc.in_program)
            continue;
        out[o] = (uint8_t)(s->mux_program >> 8);
        out[o + 1] = (uint8_t)s->mux_program;
        out[o + 2] = (uint8_t)((sec[o + 2] & 0xE0) | (s->mux_pmt_pid >> 8));
        out[o + 3] = (uint8_t)s->mux_pmt_pid;
    }
    int n = ts_psi_finish(out, len - 4);
    if (s->own_tables)
        ts_out_own_pat(s, out, n);
    else
        ts_out_queue_section(s, pid, out, n);
}

/* The relayed programme's PMT as the input declares it, on the muxer's PMT PID. */
static void pass_pmt(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    uint8_t *out = s->in_section;
    (void)pid;
    if (!ts_psi_valid(sec, len, 0x02, 16) || len > TS_PMT_MAX || s->mux_pmt_pid < 0)
        return;
    memcpy(out, sec, len - 4);
    if (s->mux_program >= 0) {
        out[3] = (uint8_t)(s->mux_program >> 8);
        out[4] = (uint8_t)s->mux_program;
    }
    if (!s->pc.keep_pcr_pid && s->mux_pmt_pcr >= 0) {
        out[8] = (uint8_t)((sec[8] & 0xE0) | (s->mux_pmt_pcr >> 8));
        out[9] = (uint8_t)s->mux_pmt_pcr;
    }
    ts_psi_finish(out, len - 4);
    int n = ts_out_pmt_rewrite(s, out, len);
    s->stats.pmts_rewritten += n > 0;
    int slot = s->own_tables ? ts_out_table_slot(s, s->mux_pmt_pid, s->mux_program, 1) : -1;
    if (slot >= 0)
        ts_out_table_put(s, slot, n > 0 ? s->scratch : out, n > 0 ? n : len);
    else
        ts_out_queue_section(s, s->mux_pmt_pid, n > 0 ? s->scratch : out, n > 0 ? n : len);
}

/* Another programme's PMT, as the input sends it. */
static void pass_other_pmt(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    int slot = s->in_other[pid] ? TABLE_PMT + s->in_other[pid] - 1 : -1;
    if (slot >= 0 && ts_psi_valid(sec, len, 0x02, 16) && ((sec[3] << 8) | sec[4]) == s->tables[slot].program)
        ts_out_table_put(s, slot, sec, len);
}

/* A service_descriptor (DVB, tag 0x48) at d with the names given, into out. Its length, 0 when it does not fit. */
static int service_descriptor(const ts_out *s, const uint8_t *d, uint8_t *out, int room)
{
    if (d[1] < 3 || 4 + d[3] > d[1] + 1 || 5 + d[3] + d[4 + d[3]] > d[1] + 2)
        return 0;  // malformed: kept as it is
    const uint8_t *provider = d + 4, *name = d + 5 + d[3];
    int provider_len = d[3], name_len = d[4 + d[3]];
    if (s->service_provider[0]) {
        provider = (const uint8_t *)s->service_provider;
        provider_len = (int)strlen(s->service_provider);
    }
    if (s->service_name[0]) {
        name = (const uint8_t *)s->service_name;
        name_len = (int)strlen(s->service_name);
    }
    int len = 3 + provider_len + name_len;
    if (len > 255 || 2 + len > room)
        return 0;
    out[0] = 0x48;
    out[1] = (uint8_t)len;
    out[2] = d[2];
    out[3] = (uint8_t)provider_len;
    memcpy(out + 4, provider, provider_len);
    out[4 + provider_len] = (uint8_t)name_len;
    memcpy(out + 5 + provider_len, name, name_len);
    return 2 + len;
}

/* The relayed programme's SDT entry with the muxer's identity and the names given; the others' unless spts. */
static int sdt_entry(const ts_out *s, const uint8_t *e, int e_len, uint8_t *out, int room)
{
    int desc_len = e_len - 5;
    if (5 + desc_len > room)
        return 0;
    memcpy(out, e, 5);
    if (s->mux_program >= 0) {
        out[0] = (uint8_t)(s->mux_program >> 8);
        out[1] = (uint8_t)s->mux_program;
    }
    int o = 5;
    for (int d = 5; d + 2 <= e_len && d + 2 + e[d + 1] <= e_len; d += 2 + e[d + 1]) {
        int n = e[d] == 0x48 ? service_descriptor(s, e + d, out + o, room - o) : 0;
        if (n == 0) {
            if (o + 2 + e[d + 1] > room)
                return 0;
            memcpy(out + o, e + d, 2 + e[d + 1]);
            n = 2 + e[d + 1];
        }
        o += n;
    }
    out[3] = (uint8_t)((e[3] & 0xF0) | ((o - 5) >> 8));
    out[4] = (uint8_t)(o - 5);
    return o;
}

/* The input's SDT (actual) with the muxer's identity; with spts only the relayed programme's entry. */
static void pass_sdt(void *opaque, int pid, const uint8_t *sec, int len)
{
    ts_out *s = (ts_out *)opaque;
    uint8_t *out = s->in_section;
    if (sec[0] != 0x42 || !ts_psi_valid(sec, len, 0x42, 15)) {
        if (!s->pc.spts && len >= 3)
            ts_out_queue_section(s, pid, sec, len);  // another table on the SDT PID (SDT other, BAT)
        return;
    }
    if (!s->pc.sdt_rewrite) {
        ts_out_table_put(s, TABLE_SDT, sec, len);  // taken apart only for the stage's own schedule
        return;
    }
    memcpy(out, sec, 11);
    if (s->mux_ts_id >= 0) {
        out[3] = (uint8_t)(s->mux_ts_id >> 8);
        out[4] = (uint8_t)s->mux_ts_id;
    }
    int o = 11, found = 0;
    for (int e = 11; e + 5 <= len - 4;) {
        int e_len = 5 + (((sec[e + 3] & 0x0F) << 8) | sec[e + 4]);
        if (e + e_len > len - 4)
            return;
        int mine = ((sec[e] << 8) | sec[e + 1]) == s->pc.in_program;
        int n = mine ? sdt_entry(s, sec + e, e_len, out + o, TS_PMT_MAX - 4 - o) : 0;
        if (!mine && !s->pc.spts && o + e_len <= TS_PMT_MAX - 4) {
            memcpy(out + o, sec + e, e_len);
            n = e_len;
        }
        found |= mine;
        o += n;
        e += e_len;
    }
    if (s->pc.spts) {
        if (!found)
            return;
        out[6] = out[7] = 0;  // section_number, last_section_number: the one section
    }
    int n = ts_psi_finish(out, o);
    if (s->own_tables)
        ts_out_table_put(s, TABLE_SDT, out, n);
    else
        ts_out_queue_section(s, pid, out, n);
}

/* Takes apart a packet of the input's PAT, relayed PMT or SDT; 0 for any other packet, which is sent. */
static int pass_take_psi(ts_out *s, const uint8_t *p)
{
    int pid = ts_pid(p);
    ts_psi_buf *b = nullptr;
    ts_psi_fn fn = nullptr;
    if (pid == SDT_PID)
        s->input_sdt = 1;  // the muxer's gives way
    if (pid == 0 && s->pc.spts) {
        return 1;  // the muxer's PAT, of the one programme, goes out
    } else if (pid == 0) {
        b = &s->in_pat;
        fn = pass_pat;
    } else if (pid == s->pc.in_pmt_pid) {
        b = &s->in_pmt;
        fn = pass_pmt;
    } else if (pid == SDT_PID && (s->pc.sdt_rewrite || s->own_tables)) {
        b = &s->in_sdt;
        fn = pass_sdt;
    } else if (s->in_other[pid]) {
        b = &s->in_pmts[s->in_other[pid] - 1];
        fn = pass_other_pmt;
    } else {
        return 0;
    }
    int off = ts_payload_offset(p);
    if (off >= 0)
        ts_psi_feed(b, p + off, TS_PACKET_SIZE - off, (p[1] & 0x40) != 0, fn, s);
    return 1;
}

/* The next packet of the queue due now, the sections it holds taken apart on the way; null: none due. */
const uint8_t *ts_out_pass_next(ts_out *s)
{
    if (!s->pass)
        return nullptr;
    const uint8_t *p;
    while ((p = ts_pass_due(s->pass, s->now)) && pass_take_psi(s, p))
        ts_pass_pop(s->pass);
    return p;
}

/*
 * Sends the queue's oldest packet (returned by pass_next) and takes it off,
 * byte for byte but for its continuity counter after a rejoin.
 */
void ts_out_pass_send(ts_out *s, const uint8_t *p)
{
    int pid = ts_pid(p), cc = p[3] & 0x0F, payload = (p[3] & 0x10) != 0;
    uint8_t *f = &s->pass_flags[pid];
    if (ts_pass_take_gap(s->pass, pid))
        *f |= PASS_REJOIN;  // a packet dropped for room: the counters go on as if it had not been
    int expected = (s->pass_in_cc[pid] + payload) & 0x0F;
    int flagged = (p[3] & 0x20) && p[4] > 0 && (p[5] & 0x80);  // discontinuity_indicator
    bool broke = (*f & PASS_SEEN) && cc != expected && cc != s->pass_in_cc[pid] && !flagged;
    if ((*f & PASS_REJOIN) && broke) {
        // The output's counter goes on from its last value, as if this packet followed it.
        s->pass_shift[pid] = (uint8_t)((s->pass_shift[pid] + expected - cc) & 0x0F);
        *f &= ~PASS_REJOIN;
    } else if (broke) {
        // Packets lost before the input: they go out as they came, counted as the input's.
        s->in_cc_errors[pid]++;
        s->stats.input_cc_errors++;
        s->passing_break = 1;
    }
    s->pass_in_cc[pid] = (uint8_t)cc;
    *f |= PASS_SEEN;
    s->passing = 1;
    if (s->pass_shift[pid]) {
        uint8_t pkt[TS_PACKET_SIZE];
        memcpy(pkt, p, TS_PACKET_SIZE);
        pkt[3] = (uint8_t)((p[3] & 0xF0) | ((cc + s->pass_shift[pid]) & 0x0F));
        ts_out_send_packet(s, pkt);
    } else {
        ts_out_send_packet(s, p);
    }
    s->passing = 0;
    s->passing_break = 0;
    ts_pass_pop(s->pass);
    s->stats.passed++;
}

int ts_out_take_input_cc(ts_out *stage, int *pids, int64_t *counts, int max)
{
    int n = 0;
    for (int pid = 0; stage && pid < TS_PID_COUNT && n < max; pid++) {
        if (!stage->in_cc_errors[pid])
            continue;
        pids[n] = pid;
        counts[n++] = stage->in_cc_errors[pid];
        stage->in_cc_errors[pid] = 0;
    }
    return n;
}

void ts_out_pass_rejoin(ts_out *stage)
{
    for (int pid = 0; stage && pid < TS_PID_COUNT; pid++)
        stage->pass_flags[pid] |= PASS_REJOIN;
}

/*
 * What the muxer's packet p says for the passthrough: a PES start of the
 * lead PID gives the output's lead, and at
 * a variable rate the queue's packets due by now go out before it.
 */
void ts_out_pass_observe(ts_out *s, const uint8_t *p, int pid)
{
    int64_t now = s->now;
    int64_t dts = pid == ts_pass_lead_pid(s->pass) && now != TS_TIME_NONE ? ts_pes_start_dts(p) : -1;
    if (dts >= 0)
        ts_pass_lead_out(s->pass, ts_pcr_diff(dts * 300, now));
    const uint8_t *raw;
    while (!s->mux_rate && (raw = ts_out_pass_next(s)))
        ts_out_pass_send(s, raw);
}

/* Takes apart the tables' packets of the queue that are due, whether places come or not. */
void ts_out_pass_tables(ts_out *s, int all)
{
    const uint8_t *p;
    while ((p = all ? ts_pass_table_front(s->pass) : ts_pass_table_due(s->pass, out_now(s)))) {
        pass_take_psi(s, p);  // a PID whose programme left the PAT meanwhile: left out
        ts_pass_table_pop(s->pass);
    }
}

/* Sends everything the queue holds, its sections taken apart. */
void ts_out_pass_flush(ts_out *s)
{
    const uint8_t *p;
    ts_out_pass_tables(s, 1);
    while ((p = ts_pass_front(s->pass))) {
        if (pass_take_psi(s, p))
            ts_pass_pop(s->pass);
        else
            ts_out_pass_send(s, p);
    }
}

int ts_out_set_pass(ts_out *stage, ts_pass *pass, const ts_out_pass_config *config)
{
    if (!stage || (pass && !config))
        return -EINVAL;
    if (stage->pass) {
        ts_out_pass_flush(stage);
        for (int pid = 0; pid < TS_PID_COUNT; pid++)
            ts_pass_set_table_pid(stage->pass, pid, 0);
        memset(stage->in_other, 0, sizeof(stage->in_other));
    }
    stage->pass = pass;
    if (!pass)
        return 0;
    stage->pc = *config;
    stage->pc.service_name = stage->pc.service_provider = nullptr;
    snprintf(stage->service_name, sizeof(stage->service_name), "%s", config->service_name ? config->service_name : "");
    snprintf(stage->service_provider, sizeof(stage->service_provider), "%s",
             config->service_provider ? config->service_provider : "");
    stage->input_sdt = config->input_sdt;
    stage->in_pat.pid = 0;
    stage->in_pmt.pid = config->in_pmt_pid;
    stage->in_sdt.pid = SDT_PID;
    stage->in_pat.active = stage->in_pmt.active = stage->in_sdt.active = 0;
    if (stage->own_tables) {
        // Their packets wait apart, so that the stage's tables never wait behind others.
        ts_pass_set_table_pid(pass, 0, !config->spts);
        ts_pass_set_table_pid(pass, SDT_PID, 1);
        ts_pass_set_table_pid(pass, config->in_pmt_pid, 1);
    }
    return 0;
}
