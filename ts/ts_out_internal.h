/*
 * The output stage's own record and the functions its files share
 * (ts_out.cpp: places, waiting packets, tables, PSI and PES rewriting, the
 * stage's life; ts_out_check.cpp: the checks of the packets sent;
 * ts_out_pass.cpp: the passthrough queue's packets and tables). For those
 * files only: everything else drives the stage through ts/ts_out.h.
 */
#ifndef KESTROW_TS_TS_OUT_INTERNAL_H
#define KESTROW_TS_TS_OUT_INTERNAL_H

#include <cstdint>

#include "common/mpegts.h"
#include "ts/ts_out.h"
#include "ts/ts_pass.h"
#include "ts/ts_psi.h"

struct AVIOContext;

#define TS_PMT_MAX         1024         // longest PMT section allowed
#define TS_PES_MAX         (6 + 65535)  // 16-bit PES_packet_length
#define TS_OUT_MAX_PMTS    8
#define TS_OUT_QUEUE_SIZE  512
#define PCR_WAIT_US        10000                  // a PCR copy waits this long for a free place
#define PCR_HZ             27000000
#define SDT_PID            0x11
#define NAME_MAX_LEN       255
#define MS                 (PCR_HZ / 1000)        // 27 MHz ticks
#define TS_OUT_MAX_PROGRAMS 64                    // PMTs of the PAT that the stage sends itself
#define TABLE_SECTIONS     4                      // sections of one PAT or SDT kept
#define TABLE_SECTION_MAX  1024                   // PAT, PMT and SDT sections are no longer
#define TABLE_PAT          0                      // slots of tables[]: then the PMTs
#define TABLE_SDT          1
#define TABLE_PMT          2
#define PSI_PERIOD         (TS_OUT_PSI_PERIOD_MS * MS)
#define PSI_LATE           ((TS_OUT_PSI_PERIOD_MS + TS_OUT_PSI_WAIT_MS) * MS)
#define SDT_PERIOD         (TS_OUT_SDT_PERIOD_MS * MS)
#define SDT_LATE           ((TS_OUT_SDT_PERIOD_MS + TS_OUT_SDT_WAIT_MS) * MS)
#define CHECK_PSI_MAX      (500 * MS)  // TR 101 290: PAT, PMT at most 0.5 s apart
#define CHECK_SDT_MAX      (2000 * MS) // SDT actual at most 2 s apart
#define CHECK_PCR_MAX      (40 * MS)
#define CHECK_PCR_JUMP     (100 * MS)

enum ts_role : uint8_t {
    ROLE_PASS = 0,  // bytes untouched
    ROLE_CUE,       // PES in, SCTE 35 sections out
    ROLE_EPG,       // PES in, EIT sections out
    ROLE_PMT,       // PMT sections in, rewritten PMT sections out
};

/* Gathers one PES unit of a cue or EPG PID. */
struct ts_pes_buf {
    int pid;
    int active;      // 1 after a payload_unit_start, until the unit is done
    int len;         // bytes held; the rest of an over-long unit is dropped
    uint8_t data[TS_PES_MAX];
};

struct ts_waiting {
    int64_t due;     // input packet count by which it is sent in any case
    uint8_t pkt[TS_PACKET_SIZE];
};

/* A table the stage sends on its own schedule: the current version of its sections. */
struct ts_table {
    int pid;                 // -1: a free slot
    int program;             // a PMT's program_number
    int count;               // sections by section_number, up to last_section_number; len 0: not had
    int len[TABLE_SECTIONS];
    uint8_t sec[TABLE_SECTIONS][TABLE_SECTION_MAX];
    int fresh;               // a version not sent yet: due at the next place, clock or not
    int64_t due;             // output time of the next repetition; TS_TIME_NONE: as soon as there is a clock
    int64_t late;            // output time by which it is sent in addition; TS_TIME_NONE: not set
};

/* The output's own TR 101 290 checks, on the packets as sent. */
struct ts_check_state {
    ts_clock clock;          // PCRs of clock_pid among the packets sent, by their index
    int clock_pid;           // -1: the first PID whose PCR is sent
    int64_t pat_at;          // output time of the last PAT sent; TS_TIME_NONE: none yet
    int pat_late;            // its gap was counted already
    int64_t sdt_at;
    int sdt_late;
    int pmt_count;           // the PMT PIDs of the last PAT sent
    struct {
        int pid;
        int64_t at;          // TS_TIME_NONE: the timer starts at the next time known
        int late;
    } pmt[TS_OUT_MAX_PROGRAMS];
    uint8_t cc[TS_PID_COUNT];
    uint8_t cc_state[TS_PID_COUNT];  // 0: no packet yet; 1: seen; 2: the last one came twice
    int64_t pcr[TS_PID_COUNT];       // the last PCR sent on each PID; -1: none
    int gaps_dirty;                  // a table timer changed since the gaps were last looked at
    int64_t gaps_next;               // the time after which a gap can pass its limit, as then found
};

struct ts_out {
    int passing;              // the packet being sent passes through from the input
    int passing_break;        // and breaks its PID's counters as it came: the input's fault, not the output's
    AVIOContext *pb;           // the muxer writes here
    AVIOContext *dest;         // the real destination, direct: it gets out_buf whole
    uint8_t *out_buf;          // the packets sent, gathered as dest's own buffer would gather them
    int out_size;              // dest's buffer size: what it writes at once
    int out_len;
    int dest_is_writer;        // dest wraps the caller's write function; not ours to close
    int error;                 // first destination error; sticky
    int64_t place;             // input packets seen
    uint8_t role[TS_PID_COUNT];
    uint8_t unit[TS_PID_COUNT];  // index into pes[] or pmt[] for rewritten PIDs
    uint8_t cc[TS_PID_COUNT];    // last continuity counter sent on rewritten PIDs
    int epg_pid;
    int pcr_pid;               // the programme's PCR PID; 0: the muxer's is kept
    int64_t mux_rate;          // bit/s; 0: variable
    int mux_pcr_pid;           // PCR_PID of the muxer's PMT, while it is not pcr_pid; -1: none
    int64_t pcr_wait;          // places a PCR copy waits for a free one (PCR_WAIT_US)
    int64_t pcr_copy;          // 27 MHz; the muxer's last PCR, while its copy waits; -1: none
    int64_t pcr_from;          // place of the muxer's packet that carried it
    int64_t pcr_out;           // its index among the packets sent
    int null_held;             // held holds the muxer's last null packet, its place not yet filled
    int64_t nulls_owed;        // null places to leave out for PCR copies sent in addition
    uint8_t held[TS_PACKET_SIZE];
    int64_t rate;              // bit/s; 0: the output's timing is not watched
    int64_t max_lead_us;
    int64_t clock_start;       // wall clock (us) from which clock_bits were sent; 0: not yet
    int64_t clock_bits;
    ts_gather gather;          // the muxer's writes into whole packets
    ts_psi_buf pat;
    uint8_t pat_last[TS_PSI_MAX];
    int pat_last_len;
    ts_psi_buf pmt[TS_OUT_MAX_PMTS];
    ts_pes_buf pes[TS_OUT_MAX_CUE_PIDS + 1];
    int pes_count;
    ts_waiting queue[TS_OUT_QUEUE_SIZE];
    int queue_head;
    int queue_count;
    uint8_t scratch[TS_PMT_MAX];
    ts_out_stats stats;
    /* Passthrough (ts_out_set_pass): packets of the input that the muxer does not carry. */
    ts_pass *pass;             // null: none
    ts_out_pass_config pc;
    char service_name[NAME_MAX_LEN + 1];
    char service_provider[NAME_MAX_LEN + 1];
    ts_clock out_clock;        // the muxer's PCRs
    int64_t now;               // output time at place (out_clock), taken once a packet
    int input_sdt;             // the input's SDT goes out: the muxer's gives way
    int mux_ts_id;             // the muxer's PAT and PMT; -1 until seen
    int mux_program;
    int mux_pmt_pid;
    int mux_pmt_pcr;
    ts_psi_buf in_pat;         // the input's PAT, chosen PMT and SDT, taken apart
    ts_psi_buf in_pmt;
    ts_psi_buf in_sdt;
    uint8_t in_section[TS_PSI_MAX];
    uint8_t pass_in_cc[TS_PID_COUNT];   // passthrough: the last counter read of each PID
    uint8_t pass_shift[TS_PID_COUNT];   // added to its counters (0 until a rejoin)
    uint8_t pass_flags[TS_PID_COUNT];   // PASS_SEEN, PASS_REJOIN
    uint32_t in_cc_errors[TS_PID_COUNT];  // continuity breaks the input brought on a passed PID, not yet taken
    /* The tables the stage sends itself (at a constant rate): PAT, SDT actual, the PAT's PMTs. */
    int own_tables;
    ts_table tables[TABLE_PMT + TS_OUT_MAX_PROGRAMS];
    int table_end;             // slots in use lie below
    int tab_cur;               // the table being sent, a packet per place; -1: none
    int tab_sec;               // its section and the bytes of it sent
    int tab_pos;
    int tables_dirty;          // a table's version or timers changed since tables_send_late last looked
    int64_t tables_late_min;   // the earliest late time of the tables, as tables_send_late last found them
    ts_psi_buf mux_sdt;        // the muxer's SDT, while it is the one sent
    uint8_t in_other[TS_PID_COUNT];     // passthrough: 1 + slot of another programme's PMT PID; 0: none
    ts_psi_buf in_pmts[TS_OUT_MAX_PROGRAMS];
    ts_check_state check;
};

#define PASS_SEEN   1  // a packet of the PID was sent: pass_in_cc holds its counter
#define PASS_REJOIN 2  // the next break in its counters is the input's, not a loss: the output's go on

/* Output time at the packet being handled (the muxer's PCRs); TS_TIME_NONE before its first. */
static inline int64_t out_now(const ts_out *s)
{
    return s->now;
}

/* ts_out.cpp */
void ts_out_send_packet(ts_out *s, const uint8_t *pkt);  // the next packet out, checked and counted
void ts_out_queue_section(ts_out *s, int pid, const uint8_t *sec, int len);  // packetized into the waiting queue
int ts_out_table_slot(ts_out *s, int pid, int program, int create);  // a PMT's slot of tables[]; -1: none
void ts_out_table_put(ts_out *s, int i, const uint8_t *sec, int len);  // the current version of table i
void ts_out_own_pat(ts_out *s, const uint8_t *sec, int len);  // the PAT sent, its PMTs given slots
int ts_out_pmt_rewrite(ts_out *s, const uint8_t *sec, int len);  // into s->scratch: its length, 0: as it is

/* ts_out_check.cpp */
void ts_out_check_reset(ts_check_state *c);
void ts_out_check_packet(ts_out *s, const uint8_t *p, int64_t index);  // p sent as packet number index

/* ts_out_pass.cpp */
const uint8_t *ts_out_pass_next(ts_out *s);  // the queue's packet due at a free place; null: none
void ts_out_pass_send(ts_out *s, const uint8_t *p);  // sends it and takes it off
void ts_out_pass_observe(ts_out *s, const uint8_t *p, int pid);  // the muxer's packet p as it comes
void ts_out_pass_tables(ts_out *s, int all);  // the tables' packets due (all: every one) taken apart
void ts_out_pass_flush(ts_out *s);  // everything the queue holds, sent

#endif
