// A multiplex at the transport-stream level: the programme the input filter
// chooses, and the output stage sending the passthrough queue's packets in
// the muxer's null places with the input's PAT and SDT in the output's
// identity, on hand-made packet sequences.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "lib/test_support.h"
#include "lib/ts_reader.h"
#include "ts/ts_in.h"
#include "ts/ts_out.h"
#include "ts/ts_pass.h"

using tsr::bytes;
using tsr::with_crc;

namespace {

using tsr::pat_section;
using tsr::pmt_section;
using tsr::sdt_section;

struct mem_source {
    bytes data;
    size_t pos = 0;
};

int mem_read(void *opaque, uint8_t *buf, int size)
{
    mem_source *m = (mem_source *)opaque;
    int n = (int)std::min((size_t)size, m->data.size() - m->pos);
    if (n == 0)
        return AVERROR_EOF;
    memcpy(buf, m->data.data() + m->pos, n);
    m->pos += n;
    return n;
}

TEST(Choice, TheProgrammeAskedForElseTheFirstWithVideoInPatOrder)
{
    const struct {
        const char *name;
        int wanted;
        std::vector<int> pmt_order;   // programmes whose PMT comes, in that order (1..3)
        std::vector<int> types;       // stream type of programmes 1..3
        int chosen;
        int how;
    } cases[] = {
        {"first with video", 0, {1, 2, 3}, {0x03, 0x1B, 0x24}, 2, TS_CHOSEN_VIDEO},
        {"an earlier PMT comes later", 0, {2, 1, 3}, {0x02, 0x1B, 0x1B}, 1, TS_CHOSEN_VIDEO},
        {"radio only", 0, {3, 2, 1}, {0x03, 0x0F, 0x04}, 1, TS_CHOSEN_FIRST},
        {"asked for", 3, {1, 2, 3}, {0x1B, 0x1B, 0x1B}, 3, TS_CHOSEN_ASKED},
        {"asked for, not in the PAT", 7, {1, 2, 3}, {0x1B, 0x1B, 0x1B}, -1, TS_CHOSEN_NONE},
        {"asked for, its PMT not read", 2, {1, 3}, {0x1B, 0x1B, 0x1B}, -1, TS_CHOSEN_NONE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tsr::builder b;
        b.section(0, pat_section(9, {{1, 0x1000}, {2, 0x1100}, {3, 0x1200}}));
        for (int n : c.pmt_order)
            b.section(0x1000 + (n - 1) * 0x100, pmt_section(n, c.types[n - 1], n * 0x100));
        mem_source m{b.ts};
        ts_in *f = nullptr;
        ASSERT_EQ(0, ts_in_open(&f, mem_read, &m, 1316));
        ASSERT_EQ(0, ts_in_set_pass(f, c.wanted, 0, 1024));
        uint8_t buf[1316];
        while (avio_read(ts_in_pb(f), buf, sizeof(buf)) > 0) {
        }
        ts_identity id;
        ts_in_get_identity(f, &id);
        EXPECT_EQ(c.chosen, id.program_number);
        EXPECT_EQ(c.how, id.chosen);
        ts_in_close(&f);
    }
}

/*
 * The muxer's side: its SDT, PAT (transport stream 3, service 5 with its PMT
 * on 0x1000) and PMT, then video packets with PCRs and two null packets
 * after each. The queue: the input's PAT (transport stream 9, programmes 1
 * and 2), its SDT, and packets of programme 2 and of the EIT, all due.
 */
TEST(Stage, InputPacketsTakeNullPlacesAndItsTablesTheOutputsIdentity)
{
    const bytes in_sdt = sdt_section(9, {{1, "one"}, {2, "two"}});
    const bytes mux_pat = with_crc({0x00, 0xB0, 0, 0x00, 0x03, 0xC1, 0, 0, 0x00, 0x05, 0xF0, 0x00});
    const bytes out_pat = pat_section(3, {{5, 0x1000}, {2, 0x1100}});
    const struct {
        const char *name;
        ts_out_pass_config config;  // in_program, in_pmt_pid, keep_pcr_pid, spts, input_sdt, sdt_rewrite, names
        bytes want_pat, want_sdt;
    } cases[] = {
        {"multiplex", {1, 0x1000, 0, 0, 1, 0, nullptr, nullptr}, out_pat, in_sdt},
        {"renamed", {1, 0x1000, 0, 0, 1, 1, "News", nullptr}, out_pat, sdt_section(3, {{5, "News"}, {2, "two"}})},
        {"single programme", {1, 0x1000, 0, 1, 1, 1, nullptr, nullptr}, mux_pat, sdt_section(3, {{5, "one"}})},
    };
    tsr::builder mux;
    mux.section(0x11, sdt_section(3, {{5, "muxer"}}));
    mux.section(0, mux_pat);
    mux.section(0x1000, pmt_section(5, 0x1B, 0x100));
    for (int i = 0; i < 20; i++) {
        const bytes pcr = {0x10, 0, 0, 0, (uint8_t)(i * 2), 0x7E, 0};
        const bytes video(100, (uint8_t)i);
        mux.packet(0x100, false, video.data(), video.size(), pcr);
        mux.null();
        mux.null();
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tsr::builder in;
        in.section(0, pat_section(9, {{1, 0x1000}, {2, 0x1100}}));
        in.section(0x11, in_sdt);
        const bytes payload(184, 0x4E);
        for (int i = 0; i < 8; i++)
            in.packet(i % 2 ? 0x12 : 0x200, i < 2, payload.data(), payload.size());
        ts_pass *pass = nullptr;
        ASSERT_EQ(0, ts_pass_create(&pass, 64));
        for (size_t i = 0; i < tsr::packet_count(in.ts); i++)
            ts_pass_push(pass, tsr::packet(in.ts, i), 0);
        kt::TempDir dir;
        std::string path = dir / "out.ts";
        const ts_out_config config = {{}, 0, -1, 0, 1000000};
        ts_out *stage = nullptr;
        ASSERT_EQ(0, ts_out_open(&stage, path.c_str(), &config, nullptr, 1316));
        ASSERT_EQ(0, ts_out_set_pass(stage, pass, &c.config));
        avio_write(ts_out_pb(stage), mux.ts.data(), (int)mux.ts.size());
        ASSERT_EQ(0, ts_out_close(&stage));
        bytes out = kt::read_file<bytes>(path);

        EXPECT_EQ(tsr::packet_count(mux.ts), tsr::packet_count(out));  // the count, and so the rate, kept
        EXPECT_EQ(std::vector<bytes>{c.want_pat}, tsr::sections(out, 0));
        EXPECT_EQ(std::vector<bytes>{c.want_sdt}, tsr::sections(out, 0x11));
        auto passed = [](const bytes &ts) {
            std::vector<bytes> r;
            for (size_t i = 0; i < tsr::packet_count(ts); i++)
                if (tsr::pid_of(tsr::packet(ts, i)) == 0x12 || tsr::pid_of(tsr::packet(ts, i)) == 0x200)
                    r.emplace_back(tsr::packet(ts, i), tsr::packet(ts, i) + 188);
            return r;
        };
        EXPECT_EQ(passed(in.ts), passed(out));  // byte for byte, in order
        ts_pass_destroy(&pass);
    }
}

/*
 * A PID passing through whose counters the input itself breaks (packets
 * lost before the service), or flags as broken: they go out as they came,
 * and the break is the input's, by PID, not a failure of the output's
 * continuity check. After a rejoin (the input came back) the next break is
 * no loss: the output's counters go on.
 */
TEST(Stage, ContinuityBreaksTheInputBringsAreTheInputs)
{
    const struct {
        const char *name;
        int skip_at;      // the input's counter skips before this packet of 0x200; -1: never
        bool flagged;     // that packet carries the discontinuity_indicator
        int64_t input;    // breaks counted as the input's on 0x200
        bool rejoin;      // the stage is told of a rejoin after 5 packets of 0x200 went out
    } cases[] = {
        {"continuous", -1, false, 0, false},
        {"lost before the input", 6, false, 1, false},
        {"flagged by the input", 6, true, 0, false},
        {"the input came back", 6, false, 0, true},
    };
    tsr::builder mux;
    mux.section(0, with_crc({0x00, 0xB0, 0, 0x00, 0x03, 0xC1, 0, 0, 0x00, 0x05, 0xF0, 0x00}));
    for (int i = 0; i < 30; i++) {
        const bytes pcr = {0x10, 0, 0, 0, (uint8_t)(i * 2), 0x7E, 0};
        const bytes video(100, (uint8_t)i);
        mux.packet(0x100, false, video.data(), video.size(), pcr);
        mux.null();
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        tsr::builder in;
        const bytes payload(100, 0x4E);
        for (int i = 0; i < 10; i++) {
            if (i == c.skip_at)
                in.cc[0x200] += 3;
            in.packet(0x200, false, payload.data(), payload.size(),
                      i == c.skip_at && c.flagged ? bytes{0x80} : bytes{0x00});
        }
        ts_pass *pass = nullptr;
        ASSERT_EQ(0, ts_pass_create(&pass, 64));
        for (size_t i = 0; i < tsr::packet_count(in.ts); i++)
            ts_pass_push(pass, tsr::packet(in.ts, i), 0);
        kt::TempDir dir;
        const ts_out_config config = {{}, 0, -1, 0, 1000000};
        const ts_out_pass_config pass_config = {1, 0x1000, 0, 0, 1, 0, nullptr, nullptr};
        ts_out *stage = nullptr;
        ASSERT_EQ(0, ts_out_open(&stage, (dir / "out.ts").c_str(), &config, nullptr, 1316));
        ASSERT_EQ(0, ts_out_set_pass(stage, pass, &pass_config));
        const int half = (1 + 2 * 5) * TS_PACKET_SIZE;  // the PAT, then 5 pictures and their null places
        avio_write(ts_out_pb(stage), mux.ts.data(), half);
        avio_flush(ts_out_pb(stage));
        if (c.rejoin)
            ts_out_pass_rejoin(stage);
        avio_write(ts_out_pb(stage), mux.ts.data() + half, (int)mux.ts.size() - half);
        avio_flush(ts_out_pb(stage));
        ts_out_stats st;
        ASSERT_EQ(0, ts_out_get_stats(stage, &st));
        EXPECT_EQ(10, st.passed);
        EXPECT_EQ(0, st.checks[TS_OUT_CHECK_CONTINUITY]);
        EXPECT_EQ(c.input, st.input_cc_errors);
        int pids[4];
        int64_t counts[4];
        int n = ts_out_take_input_cc(stage, pids, counts, 4);
        ASSERT_EQ(c.input ? 1 : 0, n);
        if (n) {
            EXPECT_EQ(0x200, pids[0]);
            EXPECT_EQ(c.input, counts[0]);
        }
        EXPECT_EQ(0, ts_out_take_input_cc(stage, pids, counts, 4));  // taken: forgotten
        ASSERT_EQ(0, ts_out_close(&stage));
        ts_pass_destroy(&pass);
    }
}

/*
 * A cue packet (PID 0x590, protected or not) and then packets of another PID
 * every 10 ms, into a queue that overflows or whose oldest waits too long:
 * nothing counts as dropped before the output places packets (it is
 * trimmed), and the cue stays first.
 */
TEST(Queue, CuesStayAndDropsCountOnceTheOutputRuns)
{
    const struct {
        const char *name;
        int capacity;
        int64_t max_wait;
        bool protect;
    } cases[] = {
        {"full", 64, 0, true},
        {"waiting too long", 4096, 27000000, true},
        {"full, unprotected", 64, 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts_pass *q = nullptr;
        ASSERT_EQ(0, ts_pass_create(&q, c.capacity));
        std::vector<uint8_t> all(8192, 1);
        ts_pass_keep(q, all.data());
        ts_pass_set_max_wait(q, c.max_wait);
        if (c.protect)
            ts_pass_protect(q, 0x590);
        tsr::builder b;
        const bytes payload(184, 0x11);
        b.packet(0x590, true, payload.data(), payload.size());
        for (int i = 0; i < 300; i++)
            b.packet(0x200, false, payload.data(), payload.size());
        auto push = [&](size_t from, size_t to) {
            for (size_t i = from; i < to; i++)
                ts_pass_push(q, tsr::packet(b.ts, i), (int64_t)i * 270000);
        };
        push(0, 200);  // 2 s: the output has not started
        ts_pass_stats st;
        ts_pass_get_stats(q, &st);
        EXPECT_EQ(0, st.dropped);
        EXPECT_GT(st.trimmed, 90);
        EXPECT_EQ(c.protect ? 0x590 : 0x200, tsr::pid_of(ts_pass_front(q)));
        ts_pass_due(q, 0);  // the output has a clock, and without a lead PID the delay is 0: it places packets
        push(200, 210);
        ts_pass_get_stats(q, &st);
        EXPECT_EQ(10, st.dropped);
        EXPECT_EQ(c.protect ? 0x590 : 0x200, tsr::pid_of(ts_pass_front(q)));
        ts_pass_destroy(&q);
    }
}

}  // namespace
