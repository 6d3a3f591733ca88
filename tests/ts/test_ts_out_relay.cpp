// The output stage behind the real MPEG-TS muxer, set up as the service sets
// it up: a generated programme with SCTE-35 cues is remuxed once straight into
// a file and once through the stage (the PCR also on a PID of its own), and the
// two are compared packet by packet.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "lib/test_support.h"
#include "lib/ts_reader.h"
#include "ts/ts_out.h"

using tsr::bytes;

namespace {

const int CUE_PID = 0x590;
const int EPG_PID = 0x12;
const int PCR_PID = 0x1FF;
const int MUX_RATE = 20000000;

struct mux_result {
    int first_write_error = 0;  // first failing write: av_interleaved_write_frame or trailer
    int close_result = 0;       // ts_out_close, or avio_closep without the stage
    ts_out_stats stats = {};
};

/* Remuxes input into url with the service's muxer settings; through the stage when staged. */
mux_result remux(const std::string &input, const std::string &url, bool staged)
{
    mux_result r;
    AVFormatContext *in = nullptr;
    AVFormatContext *out = nullptr;
    ts_out *stage = nullptr;
    AVDictionary *opts = nullptr;
    AVPacket *pkt = av_packet_alloc();
    int ret;

    EXPECT_EQ(0, avformat_open_input(&in, input.c_str(), nullptr, nullptr));
    EXPECT_LE(0, avformat_find_stream_info(in, nullptr));
    EXPECT_LE(0, avformat_alloc_output_context2(&out, nullptr, "mpegts", nullptr));
    ts_out_config config = {{CUE_PID}, 1, EPG_PID, PCR_PID, MUX_RATE};
    for (unsigned i = 0; i < in->nb_streams; i++) {
        AVStream *st = avformat_new_stream(out, nullptr);
        avcodec_parameters_copy(st->codecpar, in->streams[i]->codecpar);
        st->codecpar->codec_tag = 0;
        st->id = in->streams[i]->id;
    }

    if (staged) {
        EXPECT_EQ(0, ts_out_open(&stage, url.c_str(), &config, nullptr, 1316));
        out->pb = ts_out_pb(stage);
    } else {
        EXPECT_EQ(0, avio_open(&out->pb, url.c_str(), AVIO_FLAG_WRITE));
    }
    av_dict_set_int(&opts, "muxrate", MUX_RATE, 0);
    av_dict_set_int(&opts, "max_delay", 900000, 0);
    av_dict_set(&opts, "flush_packets", "0", 0);
    av_dict_set(&opts, "mpegts_copyts", "1", 0);
    av_dict_set(&opts, "pes_payload_size", "0", 0);
    EXPECT_LE(0, avformat_write_header(out, &opts));
    av_dict_free(&opts);

    while (av_read_frame(in, pkt) >= 0) {
        AVStream *ist = in->streams[pkt->stream_index];
        av_packet_rescale_ts(pkt, ist->time_base, out->streams[pkt->stream_index]->time_base);
        ret = av_interleaved_write_frame(out, pkt);
        if (ret < 0 && !r.first_write_error)
            r.first_write_error = ret;
        av_packet_unref(pkt);
    }
    ret = av_write_trailer(out);
    if (ret < 0 && !r.first_write_error)
        r.first_write_error = ret;
    if (staged) {
        ts_out_get_stats(stage, &r.stats);
        out->pb = nullptr;
        r.close_result = ts_out_close(&stage);
        EXPECT_EQ(nullptr, stage);
    } else {
        r.close_result = avio_closep(&out->pb);
    }
    avformat_free_context(out);
    avformat_close_input(&in);
    av_packet_free(&pkt);
    return r;
}

class Relay : public ::testing::Test {
protected:
    static kt::TempDir *dir;
    static std::string setup_error;
    static mux_result direct_result;
    static mux_result staged_result;

    static std::string path(const char *name) { return *dir / name; }

    // Work shared by the cases; a failure here fails each of them (a fatal
    // failure in SetUpTestSuite would only mark them skipped).
    static void SetUpTestSuite()
    {
        dir = new kt::TempDir;
        setup_error = kt::generate(path("in.ts"), "--duration 6 --cue at=1.5,dur=1,lead=1,id=7"
                                                  " --cue at=3,dur=1,lead=0.5,id=8 --cue type=time_signal,at=4,lead=0.4"
                                                  " --cue at=4.5,dur=1,lead=0.2,desc=020f43554549000000017fff0000000000");
        if (setup_error.empty()) {
            direct_result = remux(path("in.ts"), path("direct.ts"), false);
            staged_result = remux(path("in.ts"), path("staged.ts"), true);
        }
    }

    void SetUp() override { ASSERT_EQ("", setup_error); }

    static void TearDownTestSuite() { delete dir; }
};

kt::TempDir *Relay::dir;
std::string Relay::setup_error;
mux_result Relay::direct_result;
mux_result Relay::staged_result;

TEST_F(Relay, KeepsEveryOtherPacketAndCopiesEachPcrForItsPlace)
{
    bytes direct = kt::read_file<bytes>(path("direct.ts"));
    bytes staged = kt::read_file<bytes>(path("staged.ts"));
    const ts_out_stats &st = staged_result.stats;
    EXPECT_EQ(0, direct_result.first_write_error);
    EXPECT_EQ(0, staged_result.first_write_error);
    EXPECT_EQ(0, staged_result.close_result);
    ASSERT_EQ(0u, direct.size() % 188);
    EXPECT_EQ((int64_t)direct.size(), st.bytes_in);
    EXPECT_EQ(st.packets_in + st.packets_added - st.nulls_repaid, st.packets_out);
    EXPECT_LE(st.packets_out - st.packets_in, 1);  // a last copy sent at the end
    EXPECT_EQ((int64_t)staged.size(), st.bytes_out);
    EXPECT_EQ(0, st.units_dropped);
    EXPECT_EQ(0, st.bytes_skipped);

    // Rewritten PIDs, the tables the stage repeats itself and null packets aside, the packets are the muxer's.
    int pmt_pid = tsr::first_pmt_pid(direct);
    auto untouched = [&](const bytes &ts) {
        std::vector<bytes> r;
        for (size_t i = 0; i < tsr::packet_count(ts); i++) {
            int pid = tsr::pid_of(tsr::packet(ts, i));
            if (pid != 0x1FFF && pid != CUE_PID && pid != EPG_PID && pid != pmt_pid && pid != PCR_PID && pid != 0 &&
                pid != 0x11)
                r.emplace_back(tsr::packet(ts, i), tsr::packet(ts, i) + 188);
        }
        return r;
    };
    EXPECT_TRUE(untouched(direct) == untouched(staged));
    EXPECT_GT(st.pmts_rewritten, 0);
    for (int pid : {0, 0x11})
        for (const bytes &sec : tsr::sections(staged, pid))
            EXPECT_EQ(tsr::sections(direct, pid).at(0), sec) << "the muxer's table on PID " << pid;

    // The stage sends PAT and PMT itself, well within 100 ms, in free places; its own checks find nothing.
    EXPECT_GT(st.tables_out, 6 * 20);
    EXPECT_EQ(0, st.tables_late);
    EXPECT_GT(st.pat_interval_max_us, 0);
    EXPECT_LE(st.pat_interval_max_us, 100000);
    EXPECT_LE(st.pmt_interval_max_us, 100000);
    for (int k = 0; k < TS_OUT_CHECK_COUNT; k++)
        EXPECT_EQ(0, st.checks[k]) << ts_out_check_name(k);

    // Each PCR of the muxer's is copied onto the PMT's PCR PID, mostly into
    // a null packet's place, with the time of its place at the mux rate.
    bytes pmt = tsr::sections(staged, pmt_pid).at(0);
    EXPECT_EQ(PCR_PID, ((pmt[8] & 0x1F) << 8) | pmt[9]);
    std::vector<std::pair<int64_t, int64_t>> muxer, copies;  // packet, PCR
    for (size_t i = 0; i < tsr::packet_count(staged); i++) {
        const uint8_t *p = tsr::packet(staged, i);
        if (tsr::pcr_of(p) >= 0)
            (tsr::pid_of(p) == PCR_PID ? copies : muxer).push_back({(int64_t)i, tsr::pcr_of(p)});
    }
    ASSERT_EQ(muxer.size(), copies.size());
    EXPECT_EQ(st.pcrs_out, (int64_t)copies.size());
    EXPECT_LT(st.packets_added * 50, st.pcrs_out);
    for (size_t k = 0; k < copies.size(); k++) {
        int64_t packets = copies[k].first - muxer[k].first;  // 10 ms: 133 packets at 20 Mbit/s
        EXPECT_TRUE(packets >= -1 && packets <= 134) << k;
        EXPECT_NEAR(muxer[k].second + packets * 188 * 8 * 27 / 20, copies[k].second, 1) << k;
    }
}

TEST(RelayErrors, DestinationWriteErrorReachesTheMuxer)
{
    kt::TempDir dir;
    ASSERT_EQ("", kt::generate(dir / "in.ts", "--duration 1 --audio none --cue at=0.5,dur=1"));
    mux_result r = remux(dir / "in.ts", "file:/dev/full", true);
    EXPECT_EQ(AVERROR(ENOSPC), r.first_write_error);
    EXPECT_EQ(AVERROR(ENOSPC), r.close_result);
}

}  // namespace
