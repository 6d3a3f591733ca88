// The output stage on hand-made packet sequences written straight into its I/O
// context, for what the muxer rarely or never produces: sections needing more
// packets than their PES, no null packet in reach, PES units without a length,
// a PCR on a cue PID, bytes in odd pieces or out of sync, malformed cues, PCR
// copies at both kinds of rate.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include "lib/test_support.h"
#include "lib/ts_reader.h"
#include "ts/ts_out.h"

using tsr::bytes;

namespace {

const int PMT_PID = 0x1000;
const int VIDEO_PID = 0x100;
const int CUE_PID = 0x590;
const int EPG_PID = 0x12;

/* The builder, with the video packets the cases fill gaps with. */
struct ts_builder : tsr::builder {
    void video(int count = 1)
    {
        uint8_t b[184];
        for (int i = 0; i < count; i++) {
            memset(b, 0x30 + (int)(ts.size() / 188 % 64), sizeof(b));
            packet(VIDEO_PID, false, b, sizeof(b));
        }
    }
};

using tsr::with_crc;

bytes pat()
{
    return with_crc({0x00, 0xB0, 0, 0x00, 0x01, 0xC1, 0, 0, 0x00, 0x01, 0xE0 | (PMT_PID >> 8),
                     PMT_PID & 0xFF});
}

/* PMT as FFmpeg writes it, with the given programme descriptors and cue ES descriptors. */
bytes pmt(const bytes &program_desc, const bytes &cue_desc, bool with_epg = true)
{
    bytes s = {0x02, 0xB0, 0, 0x00, 0x01, 0xC1, 0, 0, 0xE1, 0x00,
               (uint8_t)(0xF0 | (program_desc.size() >> 8)), (uint8_t)program_desc.size()};
    s.insert(s.end(), program_desc.begin(), program_desc.end());
    bytes video = {0x1B, 0xE1, 0x00, 0xF0, 0x00};
    bytes cue = {0x06, 0xE5, 0x90, 0xF0, (uint8_t)cue_desc.size()};
    bytes epg = {0x06, 0xE0, 0x12, 0xF0, 0x00};
    s.insert(s.end(), video.begin(), video.end());
    s.insert(s.end(), cue.begin(), cue.end());
    s.insert(s.end(), cue_desc.begin(), cue_desc.end());
    if (with_epg)
        s.insert(s.end(), epg.begin(), epg.end());
    return with_crc(s);
}

/* A splice_null cue of total size len, CRC included. */
bytes cue(int len, uint8_t fill)
{
    bytes s = {0xFC, 0x30, 0, 0x00, 0, 0, 0, 0, 0, 0, 0xFF, 0xF0, 0x00, 0x00};
    while (s.size() < (size_t)len - 4)
        s.push_back(fill);
    return with_crc(s);
}

bytes concat(const bytes &a, const bytes &b)
{
    bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

struct stage_output {
    bytes ts;
    ts_out_stats stats = {};
};

/*
 * Writes input into a stage on a file: in pieces of the given sizes (cycled),
 * each handed over at once, or as the muxer would without pieces.
 */
stage_output through_stage(const bytes &input, const std::vector<size_t> &pieces = {},
                           const ts_out_config &config = {{CUE_PID}, 1, EPG_PID, 0, 0})
{
    stage_output r;
    kt::TempDir dir;
    std::string path = dir / "out.ts";
    ts_out *stage = nullptr;
    EXPECT_EQ(0, ts_out_open(&stage, path.c_str(), &config, nullptr, 1316));
    if (!stage)
        return r;
    AVIOContext *pb = ts_out_pb(stage);
    size_t pos = 0;
    for (size_t k = 0; pos < input.size(); k++) {
        size_t n = pieces.empty() ? input.size() : pieces[k % pieces.size()];
        n = std::min(n, input.size() - pos);
        avio_write(pb, input.data() + pos, (int)n);
        if (!pieces.empty())
            avio_flush(pb);
        pos += n;
    }
    avio_flush(pb);
    ts_out_get_stats(stage, &r.stats);
    EXPECT_EQ(0, ts_out_close(&stage));
    EXPECT_EQ(nullptr, stage);
    r.ts = kt::read_file<bytes>(path);
    return r;
}

/* The common start: PAT and a PMT declaring video, cue and EPG. */
ts_builder started()
{
    ts_builder b;
    b.section(0, pat());
    b.section(PMT_PID, pmt({}, {}));
    return b;
}

TEST(Stage, SecondSectionOfAPesTakesTheNextNullPacket)
{
    ts_builder b = started();
    bytes c1 = cue(60, 0x11), c2 = cue(70, 0x22);
    b.pes(CUE_PID, concat(c1, c2));  // one PES packet, two section packets
    b.video(2);
    b.null();
    b.video();
    stage_output out = through_stage(b.ts);

    ASSERT_EQ(b.ts.size(), out.ts.size());
    EXPECT_EQ(0, out.stats.packets_added);
    EXPECT_EQ(2, out.stats.sections_out);
    EXPECT_EQ((std::vector<bytes>{c1, c2}), tsr::sections(out.ts, CUE_PID));
    // Places: PAT, PMT, cue 1 (the PES's), video, video, cue 2 (the null's), video.
    const int pids[] = {0, PMT_PID, CUE_PID, VIDEO_PID, VIDEO_PID, CUE_PID, VIDEO_PID};
    for (size_t i = 0; i < 7; i++)
        EXPECT_EQ(pids[i], tsr::pid_of(tsr::packet(out.ts, i))) << "packet " << i;
    EXPECT_EQ(0x10, tsr::packet(out.ts, 2)[3]);
    EXPECT_EQ(0x11, tsr::packet(out.ts, 5)[3]);
    for (size_t i : {3, 4, 6})
        EXPECT_EQ(0, memcmp(tsr::packet(b.ts, i), tsr::packet(out.ts, i), 188));
}

TEST(Stage, SectionWithoutAPlaceIsSentAfterTheHoldBound)
{
    ts_builder b = started();
    bytes c1 = cue(60, 0x11), c2 = cue(70, 0x22);
    size_t pes_index = tsr::packet_count(b.ts);
    b.pes(CUE_PID, concat(c1, c2));
    b.video(TS_OUT_HOLD_PACKETS + 10);
    stage_output out = through_stage(b.ts);

    ASSERT_EQ(b.ts.size() + 188, out.ts.size());
    EXPECT_EQ(1, out.stats.packets_added);
    size_t late = pes_index + TS_OUT_HOLD_PACKETS + 1;
    EXPECT_EQ(CUE_PID, tsr::pid_of(tsr::packet(out.ts, late)));
    for (size_t i = pes_index + 1; i < late; i++)
        ASSERT_EQ(0, memcmp(tsr::packet(b.ts, i), tsr::packet(out.ts, i), 188)) << i;
    EXPECT_EQ((std::vector<bytes>{c1, c2}), tsr::sections(out.ts, CUE_PID));
    for (const auto &[pid, errors] : tsr::cc_errors(out.ts))
        EXPECT_EQ(0, errors) << "PID " << pid;
}

TEST(Stage, PmtRewrite)
{
    const bytes cuei = {0x05, 4, 'C', 'U', 'E', 'I'};
    const bytes other_reg = {0x05, 4, 'A', 'B', 'C', 'D'};
    const bytes alignment = {0x06, 1, 0x01};
    const bytes metadata = {0x26, 3, 1, 2, 3};
    const bytes stream_id = {0x52, 1, 7};
    const bytes klva = {0x05, 4, 'K', 'L', 'V', 'A'};
    struct {
        const char *name;
        bytes program_desc, cue_desc;
        bytes want_program_desc, want_cue_desc;
    } cases[] = {
        {"plain", {}, {}, cuei, {}},
        {"CUEI already there", cuei, {}, cuei, {}},
        {"other registration kept", other_reg, {}, concat(other_reg, cuei), {}},
        {"PES descriptors dropped", {}, concat(concat(alignment, klva), concat(stream_id, metadata)),
         cuei, stream_id},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ts_builder b;
        b.section(0, pat());
        b.section(PMT_PID, pmt(c.program_desc, c.cue_desc));
        stage_output out = through_stage(b.ts);
        std::vector<bytes> pmts = tsr::sections(out.ts, PMT_PID);
        ASSERT_EQ(1u, pmts.size());
        tsr::pmt_info p = tsr::parse_pmt(pmts[0]);
        EXPECT_TRUE(p.crc_ok);
        EXPECT_EQ(c.want_program_desc, p.program_descriptors);
        ASSERT_EQ(2u, p.entries.size());
        EXPECT_EQ(0x1B, p.entries[0].type);
        EXPECT_EQ(VIDEO_PID, p.entries[0].pid);
        EXPECT_EQ(0x86, p.entries[1].type);
        EXPECT_EQ(CUE_PID, p.entries[1].pid);
        EXPECT_EQ(c.want_cue_desc, p.entries[1].descriptors);
        EXPECT_EQ(b.ts.size(), out.ts.size());
    }

    // A PMT without cue or EPG PID, or with a bad CRC, leaves as it came.
    bytes no_cue = with_crc({0x02, 0xB0, 0, 0x00, 0x01, 0xC1, 0, 0, 0xE1, 0x00, 0xF0, 0x00, 0x1B,
                             0xE1, 0x00, 0xF0, 0x00});
    bytes bad_crc = pmt({}, {});
    bad_crc.back() ^= 1;
    for (const bytes &sec : {no_cue, bad_crc}) {
        ts_builder b;
        b.section(0, pat());
        b.section(PMT_PID, sec);
        stage_output out = through_stage(b.ts);
        EXPECT_EQ(b.ts, out.ts);
        EXPECT_EQ(0, out.stats.pmts_rewritten);
    }
}

TEST(Stage, PesWithoutLengthEndsAtTheNextUnitOrAtClose)
{
    ts_builder b = started();
    bytes e1(300, 0), e2(20, 0), e3(500, 0);
    e1 = with_crc(bytes{0x4E, 0xF0, 0, 0, 1, 0xC1, 0, 0, 0, 2, 0, 3, 0, 0x4E});
    e1.resize(296, 0x77);
    e1 = with_crc(e1);
    e2 = with_crc(bytes{0x4F, 0xF0, 0, 0, 2, 0xC1, 0, 0, 0, 2, 0, 3, 0, 0x4F, 9, 9});
    e3 = e1;
    e3.resize(496, 0x55);
    e3 = with_crc(e3);
    b.pes(EPG_PID, e1, true);
    for (int i = 0; i < 4; i++)
        b.null();
    b.pes(EPG_PID, e2, true);
    b.video();
    b.pes(EPG_PID, e3, true);
    stage_output out = through_stage(b.ts);

    EXPECT_EQ((std::vector<bytes>{e1, e2, e3}), tsr::sections(out.ts, EPG_PID));
    EXPECT_EQ(0, out.stats.units_dropped);
    // The last unit ends only at close: its packets are sent beyond the muxer's count.
    EXPECT_EQ(b.ts.size() + 3 * 188, out.ts.size());
}

TEST(Stage, PcrOnACuePidStaysInItsPlace)
{
    ts_builder b = started();
    const bytes af = {0x10, 0x12, 0x34, 0x56, 0x78, 0x9A, 0x7E};  // PCR flag, PCR
    bytes c = cue(40, 0x33);
    size_t at = tsr::packet_count(b.ts);
    b.pes(CUE_PID, c, false, af);
    b.null();
    stage_output out = through_stage(b.ts);

    ASSERT_EQ(b.ts.size(), out.ts.size());
    const uint8_t *p = tsr::packet(out.ts, at);
    EXPECT_EQ(CUE_PID, tsr::pid_of(p));
    EXPECT_EQ(0x00, p[1] & 0x40);
    EXPECT_EQ(0x20, p[3] & 0x30);  // adaptation field only
    EXPECT_EQ(183, p[4]);
    EXPECT_EQ(0, memcmp(p + 5, af.data(), af.size()));
    EXPECT_EQ(0x10, tsr::packet(out.ts, at + 1)[3]);  // the section, in the null's place
    EXPECT_EQ(std::vector<bytes>{c}, tsr::sections(out.ts, CUE_PID));
}

using tsr::pcr_field;

TEST(Stage, MuxersPcrsAreCopiedOntoThePcrPidForTheirPlaces)
{
    const int PCR_PID = 0x1FF;
    const int64_t MS = 27000, T = (300LL << 33) - 2 * MS;  // the first copy wraps
    ts_builder b = started();
    size_t first = tsr::packet_count(b.ts);
    const bytes v(176, 0x44);
    b.packet(VIDEO_PID, true, v.data(), v.size(), pcr_field(T));
    b.video(2);
    b.null();  // the free place after a PCR
    b.null();  // the place just before one
    b.packet(VIDEO_PID, false, v.data(), v.size(), pcr_field(98 * MS));
    b.packet(VIDEO_PID, false, v.data(), v.size(), pcr_field(200 * MS));
    b.video(11);  // no free place within 10 ms
    b.null();     // at a constant rate, left out for the copy sent in addition
    struct {
        int64_t rate;  // 1504000 bit/s: a packet takes 1 ms
        std::vector<std::pair<size_t, int64_t>> want;  // packet, PCR
        int64_t added, grown;
    } cases[] = {
        {1504000, {{first + 3, MS}, {first + 4, 97 * MS}, {first + 17, 211 * MS}}, 1, 0},
        {0, {{first, T}, {first + 6, 98 * MS}, {first + 8, 200 * MS}}, 3, 3},  // just before, same value
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        stage_output out = through_stage(b.ts, {}, {{CUE_PID}, 1, EPG_PID, PCR_PID, c.rate});
        bytes pmt = tsr::sections(out.ts, PMT_PID).at(0);
        EXPECT_TRUE(tsr::parse_pmt(pmt).crc_ok);
        EXPECT_EQ(PCR_PID, ((pmt[8] & 0x1F) << 8) | pmt[9]);
        // At a constant rate the stage repeats PAT and PMT itself; places and times are counted without them.
        std::vector<std::pair<size_t, int64_t>> got;
        size_t place = 0;
        int64_t repeated = 0, since_pcr = 0;  // repetitions, and those since the muxer's last PCR
        for (size_t i = 0; i < tsr::packet_count(out.ts); i++, place++) {
            const uint8_t *p = tsr::packet(out.ts, i);
            if (i >= first && (tsr::pid_of(p) == 0 || tsr::pid_of(p) == PMT_PID)) {
                place--;
                repeated++;
                since_pcr++;
            } else if (tsr::pid_of(p) == PCR_PID) {
                got.push_back({place, tsr::pcr_of(p) - since_pcr * MS});  // a packet takes 1 ms
                EXPECT_EQ(0x20, p[3]);  // adaptation field only, counter 0
            } else if (tsr::pcr_of(p) >= 0) {
                since_pcr = 0;
            }
        }
        EXPECT_EQ(c.want, got);
        EXPECT_EQ(c.added, out.stats.packets_added - repeated);  // no free place for them, 100 ms a packet
        EXPECT_EQ(b.ts.size() + (c.grown + repeated) * 188, out.ts.size());
    }
}

TEST(Stage, PiecesAndLostSyncGiveTheSameOutput)
{
    ts_builder b = started();
    for (int i = 0; i < 6; i++) {
        b.pes(CUE_PID, cue(30 + 40 * i, (uint8_t)i));
        b.video(3);
        b.null();
        b.pes(EPG_PID, with_crc({0x4E, 0xF0, 0, 0, 1, 0xC1, 0, 0, 0, 2, 0, 3, 0, 0x4E}));
        b.null();
    }
    stage_output whole = through_stage(b.ts);
    ASSERT_EQ(b.ts.size(), whole.ts.size());

    for (std::vector<size_t> pieces : {std::vector<size_t>{1}, {7, 100, 187, 189, 376, 3},
                                       {188}, {1316, 5}}) {
        stage_output cut = through_stage(b.ts, pieces);
        EXPECT_EQ(whole.ts, cut.ts) << "first piece " << pieces[0];
        EXPECT_EQ(0, cut.stats.bytes_skipped);
    }

    // Bytes without a sync byte between packets are skipped, and a partial
    // tail is dropped at close (the counters are read before it).
    bytes noisy;
    for (size_t i = 0; i < tsr::packet_count(b.ts); i++) {
        if (i % 5 == 2)
            noisy.insert(noisy.end(), {0x00, 0x12, 0xFF});
        noisy.insert(noisy.end(), tsr::packet(b.ts, i), tsr::packet(b.ts, i) + 188);
    }
    noisy.insert(noisy.end(), b.ts.begin(), b.ts.begin() + 100);
    stage_output resynced = through_stage(noisy, {61});
    EXPECT_EQ(whole.ts, resynced.ts);
    EXPECT_EQ((int64_t)(noisy.size() - b.ts.size() - 100), resynced.stats.bytes_skipped);
}

TEST(Stage, MalformedCuesAreDroppedAndTheirPlacesKept)
{
    ts_builder b = started();
    bytes good = cue(50, 0x44);
    bytes cut_short(good.begin(), good.begin() + 30);  // section_length says more
    bytes not_a_section = {0x12, 0x34};
    b.pes(CUE_PID, cut_short);
    b.pes(CUE_PID, not_a_section);
    b.pes(CUE_PID, concat(good, bytes{0x99, 0x98}));  // a section, then junk
    b.packet(CUE_PID, true, bytes{0, 0, 2, 0xFC}.data(), 4);  // not a PES start code
    b.pes(CUE_PID, good);
    b.video();
    stage_output out = through_stage(b.ts);

    ASSERT_EQ(b.ts.size(), out.ts.size());
    EXPECT_EQ((std::vector<bytes>{good, good}), tsr::sections(out.ts, CUE_PID));
    EXPECT_EQ(4, out.stats.units_dropped);
    for (const auto &[pid, errors] : tsr::cc_errors(out.ts))
        EXPECT_EQ(0, errors) << "PID " << pid;
}

TEST(Stage, OpenAndCloseArguments)
{
    ts_out *stage = nullptr;
    ts_out_config ok = {{CUE_PID}, 1, EPG_PID, 0, 0};
    struct {
        ts_out_config config;
        int packet_size;
        int want;
    } cases[] = {
        {{{0x590, 0x591}, 2, -1, 0, 0}, 188, 0},
        {{{}, 0, -1, 0, 0}, 1316, 0},
        {{{0x590}, 9, 0x12, 0, 0}, 1316, -ERANGE},
        {{{0x590}, -1, 0x12, 0, 0}, 1316, -ERANGE},
        {{{0x0F}, 1, 0x12, 0, 0}, 1316, -ERANGE},
        {{{0x1FFF}, 1, 0x12, 0, 0}, 1316, -ERANGE},
        {{{0x590}, 1, 0x2000, 0, 0}, 1316, -ERANGE},
        {{{0x590}, 1, 0x590, 0, 0}, 1316, -EINVAL},
        {{{0x590}, 1, 0x12, 0x590, 0}, 1316, -EINVAL},
        {{{0x590}, 1, 0x12, 0x1F, 0}, 1316, -ERANGE},
        {{{0x590}, 1, 0x12, 0, 0}, 187, -ERANGE},
        {{{0x590}, 1, 0x12, 0, 0}, 0, -ERANGE},
    };
    for (const auto &c : cases) {
        stage = (ts_out *)&ok;  // must come back null on failure
        int ret = ts_out_open(&stage, "/dev/null", &c.config, nullptr, c.packet_size);
        EXPECT_EQ(c.want, ret) << c.config.cue_pid_count << " " << c.packet_size;
        if (ret == 0) {
            EXPECT_EQ(0, ts_out_close(&stage));
        }
        EXPECT_EQ(nullptr, stage);
    }
    EXPECT_EQ(-EINVAL, ts_out_open(nullptr, "/dev/null", &ok, nullptr, 1316));
    EXPECT_EQ(-EINVAL, ts_out_open(&stage, nullptr, &ok, nullptr, 1316));
    EXPECT_EQ(-EINVAL, ts_out_open(&stage, "/dev/null", nullptr, nullptr, 1316));
    EXPECT_EQ(AVERROR(ENOENT), ts_out_open(&stage, "/nonexistent/dir/out.ts", &ok, nullptr, 1316));
    EXPECT_EQ(nullptr, stage);

    EXPECT_EQ(0, ts_out_open(&stage, "/dev/null", &ok, nullptr, 1316));
    EXPECT_EQ(-EINVAL, ts_out_get_stats(stage, nullptr));
    EXPECT_EQ(0, ts_out_close(&stage));
    EXPECT_EQ(-EINVAL, ts_out_close(&stage));
    EXPECT_EQ(-EINVAL, ts_out_close(nullptr));
    EXPECT_EQ(nullptr, ts_out_pb(nullptr));
    ts_out_stats st;
    EXPECT_EQ(-EINVAL, ts_out_get_stats(nullptr, &st));
}

}  // namespace
