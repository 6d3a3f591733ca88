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

/* A PAT of the programmes (number, PMT PID), with the NIT's entry first. */
bytes pat(int ts_id, const std::vector<std::pair<int, int>> &programmes)
{
    bytes s = {0x00, 0xB0, 0, (uint8_t)(ts_id >> 8), (uint8_t)ts_id, 0xC1, 0, 0, 0, 0, 0xE0, 0x10};
    for (auto [number, pid] : programmes)
        s.insert(s.end(), {(uint8_t)(number >> 8), (uint8_t)number, (uint8_t)(0xE0 | pid >> 8), (uint8_t)pid});
    return with_crc(s);
}

/* A PMT of one stream of stream_type type on pid, which carries the PCR. */
bytes pmt(int number, int type, int pid)
{
    return with_crc({0x02, 0xB0, 0, (uint8_t)(number >> 8), (uint8_t)number, 0xC1, 0, 0, (uint8_t)(0xE0 | pid >> 8),
                     (uint8_t)pid, 0xF0, 0, (uint8_t)type, (uint8_t)(0xE0 | pid >> 8), (uint8_t)pid, 0xF0, 0});
}

/* An SDT (actual) of transport stream ts_id listing each service with a service_descriptor. */
bytes sdt(int ts_id, const std::vector<std::pair<int, std::string>> &services)
{
    bytes s = {0x42, 0xF0, 0, (uint8_t)(ts_id >> 8), (uint8_t)ts_id, 0xC1, 0, 0, 0xFF, 0x01, 0xFF};
    for (const auto &[id, name] : services) {
        bytes d = {0x48, (uint8_t)(4 + name.size()), 0x01, 1, 'P', (uint8_t)name.size()};
        d.insert(d.end(), name.begin(), name.end());
        s.insert(s.end(), {(uint8_t)(id >> 8), (uint8_t)id, 0xFD, 0x80, (uint8_t)d.size()});
        s.insert(s.end(), d.begin(), d.end());
    }
    return with_crc(s);
}

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
        b.section(0, pat(9, {{1, 0x1000}, {2, 0x1100}, {3, 0x1200}}));
        for (int n : c.pmt_order)
            b.section(0x1000 + (n - 1) * 0x100, pmt(n, c.types[n - 1], n * 0x100));
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
    const bytes in_sdt = sdt(9, {{1, "one"}, {2, "two"}});
    const bytes mux_pat = with_crc({0x00, 0xB0, 0, 0x00, 0x03, 0xC1, 0, 0, 0x00, 0x05, 0xF0, 0x00});
    const bytes out_pat = pat(3, {{5, 0x1000}, {2, 0x1100}});
    const struct {
        const char *name;
        ts_out_pass_config config;  // in_program, in_pmt_pid, keep_pcr_pid, spts, input_sdt, sdt_rewrite, names
        bytes want_pat, want_sdt;
    } cases[] = {
        {"multiplex", {1, 0x1000, 0, 0, 1, 0, nullptr, nullptr}, out_pat, in_sdt},
        {"renamed", {1, 0x1000, 0, 0, 1, 1, "News", nullptr}, out_pat, sdt(3, {{5, "News"}, {2, "two"}})},
        {"single programme", {1, 0x1000, 0, 1, 1, 1, nullptr, nullptr}, mux_pat, sdt(3, {{5, "one"}})},
    };
    tsr::builder mux;
    mux.section(0x11, sdt(3, {{5, "muxer"}}));
    mux.section(0, mux_pat);
    mux.section(0x1000, pmt(5, 0x1B, 0x100));
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
        in.section(0, pat(9, {{1, 0x1000}, {2, 0x1100}}));
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

}  // namespace
