// The output stage's own tables and checks, on hand-made packet sequences: PAT,
// PMTs and SDT sent on the stage's schedule through an outage of the input, a
// full passthrough queue and a mux rate too small; and each of its TR 101 290
// checks counting exactly the fault it is fed.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
}

#include "lib/test_support.h"
#include "lib/ts_reader.h"
#include "ts/ts_out.h"
#include "ts/ts_pass.h"

using tsr::bytes;

namespace {

const int64_t MS = 27000;          // 27 MHz ticks
const int64_t RATE = 1504000;      // bit/s: a packet takes 1 ms
const int VIDEO_PID = 0x100;

/* Writes ts into a stage on a file (with the passthrough queue pass, config pc, when given). */
bytes staged(const bytes &ts, int64_t rate, ts_out_stats *stats, ts_pass *pass = nullptr,
             const ts_out_pass_config *pc = nullptr)
{
    kt::TempDir dir;
    std::string path = dir / "out.ts";
    const ts_out_config config = {{}, 0, -1, 0, rate};
    ts_out *stage = nullptr;
    EXPECT_EQ(0, ts_out_open(&stage, path.c_str(), &config, nullptr, 1316));
    if (pass) {
        EXPECT_EQ(0, ts_out_set_pass(stage, pass, pc));
    }
    avio_write(ts_out_pb(stage), ts.data(), (int)ts.size());
    avio_flush(ts_out_pb(stage));
    ts_out_get_stats(stage, stats);
    EXPECT_EQ(0, ts_out_close(&stage));
    return kt::read_file<bytes>(path);
}

/*
 * The longest time (ms, the PCRs of the video PID interpolated) between two
 * section starts on pid, from its first to the last PCR (the wait for the
 * first one included); -1 without any.
 */
double longest_gap(const bytes &ts, int pid)
{
    std::vector<std::pair<size_t, double>> pcrs;  // packet, ms
    for (size_t i = 0; i < tsr::packet_count(ts); i++)
        if (tsr::pid_of(tsr::packet(ts, i)) == VIDEO_PID && tsr::pcr_of(tsr::packet(ts, i)) >= 0)
            pcrs.push_back({i, tsr::pcr_of(tsr::packet(ts, i)) / (double)MS});
    double last = -1, longest = -1;
    for (size_t k = 1, i = pcrs[0].first; k < pcrs.size(); i++) {
        if (i == pcrs[k].first)
            k++;
        if (k == pcrs.size())
            break;
        auto [i0, t0] = pcrs[k - 1];
        auto [i1, t1] = pcrs[k];
        double t = t0 + (t1 - t0) * (double)(i - i0) / (double)(i1 - i0);
        const uint8_t *p = tsr::packet(ts, i);
        if (tsr::pid_of(p) == pid && (p[1] & 0x40)) {
            longest = std::max(longest, t - (last < 0 ? pcrs[0].second : last));
            last = t;
        }
    }
    return last < 0 ? -1 : std::max(longest, pcrs.back().second - last);
}

/*
 * The muxer's side at RATE: its SDT, PAT (transport stream 3, service 5 with
 * its PMT on 0x1000) and PMT, then seconds of packets, a PCR-only packet on
 * the video PID every 20 ms and between them null packets (the input lost:
 * the relay keeps the muxer's clock going) or video (no free place at all).
 */
bytes muxer(int seconds, bool video)
{
    tsr::builder b;
    b.section(0x11, tsr::sdt_section(3, {{5, "muxer"}}));
    b.section(0, tsr::with_crc({0x00, 0xB0, 0, 0x00, 0x03, 0xC1, 0, 0, 0x00, 0x05, 0xF0, 0x00}));
    b.section(0x1000, tsr::pmt_section(5, 0x1B, VIDEO_PID));
    const bytes payload(184, 0x55);
    for (int64_t i = tsr::packet_count(b.ts); i < seconds * 1000; i++) {
        if (i % 20 == 0) {
            bytes p = {0x47, VIDEO_PID >> 8, VIDEO_PID & 0xFF, (uint8_t)(0x20 | (b.cc[VIDEO_PID] & 0x0F)), 183};
            bytes af = tsr::pcr_field(i * MS);
            p.insert(p.end(), af.begin(), af.end());
            p.resize(188, 0xFF);  // adaptation field only: the counter stays
            b.ts.insert(b.ts.end(), p.begin(), p.end());
        } else if (video)
            b.packet(VIDEO_PID, false, payload.data(), payload.size());
        else
            b.null();
    }
    return b.ts;
}

TEST(Tables, PatPmtsAndSdtKeepTheirScheduleWhateverTheInputDoes)
{
    const struct {
        const char *name;
        bool pass;       // the input's tables in the queue, all due at once, and none after
        int backlog;     // packets of another programme due at once with them
        bool video;      // the muxer leaves no free place: its rate is too small
        int spread;      // ms: the input's tables came every 100 ms (SDT 500 ms) for so long before the
                         // stage took the queue (a probe that read far, as for a private-data PID)
    } cases[] = {
        {"the muxer's tables, then an outage", false, 0, false, 0},
        {"the input's tables, then an outage", true, 0, false, 0},
        {"a full passthrough queue", true, 2500, false, 0},
        {"a mux rate too small", true, 500, true, 0},
        {"the input's tables of a long probe", true, 0, false, 2900},
    };
    const bytes out_pat = tsr::pat_section(3, {{5, 0x1000}, {2, 0x1100}, {3, 0x1200}});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tsr::builder in;
        std::vector<int64_t> at;  // input time of each packet
        for (int t = 0; t <= c.spread; t += 100) {
            in.section(0, tsr::pat_section(9, {{1, 0x1000}, {2, 0x1100}, {3, 0x1200}}));
            for (int n = 1; n <= 3; n++)
                in.section(0x1000 + (n - 1) * 0x100, tsr::pmt_section(n, 0x1B, n * 0x100));
            if (t % 500 == 0)
                in.section(0x11, tsr::sdt_section(9, {{1, "one"}, {2, "two"}, {3, "three"}}));
            at.resize(tsr::packet_count(in.ts), t * MS);
        }
        const bytes payload(184, 0x4E);
        for (int i = 0; i < c.backlog; i++)
            in.packet(0x200, i == 0, payload.data(), payload.size());
        at.resize(tsr::packet_count(in.ts), 0);
        ts_pass *pass = nullptr;
        ASSERT_EQ(0, ts_pass_create(&pass, 8192));
        for (size_t i = 0; i < tsr::packet_count(in.ts); i++)
            ts_pass_push(pass, tsr::packet(in.ts, i), at[i]);
        const ts_out_pass_config pc = {1, 0x1000, 0, 0, 1, 0, nullptr, nullptr};
        ts_out_stats st = {};
        bytes out = staged(muxer(3, c.video), RATE, &st, c.pass ? pass : nullptr, &pc);

        // PAT and every PMT of it within 100 ms, SDT within 2 s, from the start to the end.
        for (int pid : {0, 0x1000, 0x1100, 0x1200}) {
            double gap = pid <= 0x1000 || c.pass ? longest_gap(out, pid) : 0;
            EXPECT_TRUE(gap >= 0 && gap <= 100) << "PID " << pid << ": " << gap << " ms";
        }
        EXPECT_LE(longest_gap(out, 0x11), 2000);
        for (const bytes &pat : tsr::sections(out, 0)) {
            if (c.pass) {
                EXPECT_EQ(out_pat, pat);
            }
        }
        for (int n = 2; c.pass && n <= 3; n++) {
            EXPECT_EQ(tsr::pmt_section(n, 0x1B, n * 0x100), tsr::sections(out, 0x1000 + (n - 1) * 0x100).at(0));
        }
        for (const auto &[pid, errors] : tsr::cc_errors(out))
            EXPECT_EQ(0, errors) << "PID " << pid;
        for (int k = 0; k < TS_OUT_CHECK_COUNT; k++)
            EXPECT_EQ(0, st.checks[k]) << ts_out_check_name(k);
        EXPECT_LE(st.pat_interval_max_us, 100000);
        EXPECT_LE(st.pmt_interval_max_us, 100000);
        // Tables take free places before the queue; only without any are they sent in addition.
        EXPECT_EQ(c.video, st.tables_late > 0);
        if (!c.video) {
            EXPECT_EQ(0, st.packets_added);
        }
        if (c.backlog && !c.video) {
            EXPECT_EQ(c.backlog, st.passed);
        }
        ts_pass_destroy(&pass);
    }
}

/*
 * Four seconds at a variable rate (the stage sends the bytes as they are),
 * every 10 ms a video packet (a PCR every 20 ms) and a null packet, PAT and
 * PMT every 100 ms, SDT every 500 ms; fault changes one thing from 1 s on.
 */
bytes checked_stream(const std::string &fault)
{
    tsr::builder b;
    const bytes payload(184, 0x33);
    for (int t = 0; t < 4000; t += 10) {
        bool after = t >= 1000;
        if (t % 100 == 0 && !(fault == "pat" && after && t < 1600))
            b.section(0, tsr::pat_section(1, {{1, 0x1000}}));
        if (t % 100 == 0 && !(fault == "pmt" && after && t < 1600))
            b.section(0x1000, tsr::pmt_section(1, 0x1B, VIDEO_PID));
        if (t % 500 == 0 && !(fault == "sdt" && after && t < 3500))
            b.section(0x11, tsr::sdt_section(1, {{1, "one"}}));
        int64_t pcr = t * MS;
        if (fault == "jump" || fault == "jump flagged")
            pcr += after ? 200 * MS : 0;
        if (fault == "back")
            pcr -= after ? 50 * MS : 0;
        bool pcr_here = t % 20 == 0 && !(fault == "pcr gap" && (t == 1000 || t == 1020));
        uint8_t flags = fault == "jump flagged" && t == 1000 ? 0x80 : 0;  // discontinuity_indicator
        if (pcr_here) {
            b.packet(VIDEO_PID, false, payload.data(), 100, tsr::pcr_field(pcr, flags));
        } else {
            b.packet(VIDEO_PID, false, payload.data(), payload.size());
        }
        if (t == 1000 && fault == "cc skip")
            b.cc[VIDEO_PID]++;
        for (int k = 0; t == 1000 && fault.rfind("dup", 0) == 0 && k < (fault == "dup twice" ? 2 : 1); k++)
            b.ts.insert(b.ts.end(), b.ts.end() - 188, b.ts.end());
        b.null();
    }
    return b.ts;
}

TEST(Checks, EachCountsExactlyTheFaultItIsFed)
{
    const struct {
        const char *fault;
        std::map<int, int64_t> want;  // check: count; the others 0
    } cases[] = {
        {"none", {}},
        {"pat", {{TS_OUT_CHECK_PAT_INTERVAL, 1}}},          // 0.7 s without
        {"pmt", {{TS_OUT_CHECK_PMT_INTERVAL, 1}}},
        {"sdt", {{TS_OUT_CHECK_SDT_INTERVAL, 1}}},          // 3 s without
        {"pcr gap", {{TS_OUT_CHECK_PCR_INTERVAL, 1}}},      // 60 ms
        {"jump", {{TS_OUT_CHECK_PCR_DISCONTINUITY, 1}}},    // 220 ms
        {"jump flagged", {}},                               // discontinuity_indicator
        {"back", {{TS_OUT_CHECK_PCR_DISCONTINUITY, 1}}},
        {"cc skip", {{TS_OUT_CHECK_CONTINUITY, 1}}},
        {"dup once", {}},
        {"dup twice", {{TS_OUT_CHECK_CONTINUITY, 1}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        ts_out_stats st = {};
        staged(checked_stream(c.fault), 0, &st);
        for (int k = 0; k < TS_OUT_CHECK_COUNT; k++)
            EXPECT_EQ(c.want.count(k) ? c.want.at(k) : 0, st.checks[k]) << ts_out_check_name(k);
        if (std::string(c.fault) == "none") {
            EXPECT_NEAR(100000, st.pat_interval_max_us, 10000);
            EXPECT_NEAR(100000, st.pmt_interval_max_us, 10000);
        }
    }
    EXPECT_STREQ("pat_interval", ts_out_check_name(TS_OUT_CHECK_PAT_INTERVAL));
    EXPECT_STREQ("continuity", ts_out_check_name(TS_OUT_CHECK_CONTINUITY));
    EXPECT_EQ(nullptr, ts_out_check_name(TS_OUT_CHECK_COUNT));
}

}  // namespace
