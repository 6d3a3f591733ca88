// The input filter and the output layout decisions on generated broadcast
// layouts (programme 2064, PMT on 0x810, video on 0x1000, declared AAC and
// MPEG-2 audio PIDs that stay silent, SCTE-35 with and without "CUEI"), read
// by the real MPEG-TS demuxer and written by the real muxer.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "lib/test_support.h"
#include "ts/ts_in.h"
#include "ts/ts_layout.h"
#include "ts/ts_psi.h"

namespace {

const int CUE_PID = 0x590;

kt::TempDir *dir;

std::string stream_path(bool cuei) { return *dir / (cuei ? "cuei.ts" : "nocuei.ts"); }

class TsIn : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new kt::TempDir;
        for (bool cuei : {false, true}) {
            ASSERT_EQ("", kt::generate(stream_path(cuei),
                                       "--duration 2 --video-pid 0x1000 --audio mp2 --audio-pids 0x1001"
                                       " --pmt-pid 0x810 --program-number 2064 --ts-id 1 --pcr-pid 0x1FF"
                                       " --silent-pid 0x1003:0x0F --silent-pid 0x1005:0x04"
                                       " --cue at=1,dur=0.5,lead=0.5" + std::string(cuei ? "" : " --no-cuei")));
        }
    }
    static void TearDownTestSuite() { delete dir; }
};

/* Reads from a byte string in chunks of 1000 bytes, which split TS packets. */
struct mem_source {
    std::string data;
    size_t pos = 0;
    int read_us = 0;  // each read takes this long, as a live source's do
};

int mem_read(void *opaque, uint8_t *buf, int size)
{
    mem_source *m = (mem_source *)opaque;
    int n = (int)std::min<size_t>({(size_t)size, 1000, m->data.size() - m->pos});
    if (n == 0)
        return AVERROR_EOF;
    memcpy(buf, m->data.data() + m->pos, n);
    m->pos += n;
    if (m->read_us)
        std::this_thread::sleep_for(std::chrono::microseconds(m->read_us));
    return n;
}

/* Everything the filter hands out for data; its stats and identity too. */
std::string filter_all(const std::string &data, ts_in_stats *stats, ts_identity *id)
{
    mem_source m{data};
    ts_in *f = nullptr;
    EXPECT_EQ(0, ts_in_open(&f, mem_read, &m, 1316));
    std::string out;
    uint8_t buf[777];
    int n;
    while ((n = avio_read(ts_in_pb(f), buf, sizeof(buf))) > 0)
        out.append((const char *)buf, n);
    ts_in_get_stats(f, stats);
    ts_in_get_identity(f, id);
    ts_in_close(&f);
    return out;
}

/* Opens path with the demuxer, through a filter when f is given. */
AVFormatContext *open_input(const std::string &path, ts_in **f)
{
    AVFormatContext *in = avformat_alloc_context();
    if (f) {
        EXPECT_EQ(0, ts_in_open_url(f, path.c_str(), nullptr, nullptr, 1316));
        in->pb = ts_in_pb(*f);
        in->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    EXPECT_EQ(0, avformat_open_input(&in, path.c_str(), av_find_input_format("mpegts"), nullptr));
    EXPECT_GE(avformat_find_stream_info(in, nullptr), 0);
    return in;
}

/* "pid:stream_type " for each elementary stream. */
std::string es_text(const ts_identity &id)
{
    std::string s;
    for (int i = 0; i < id.es_count; i++)
        s += std::to_string(id.es[i].pid) + ":" + std::to_string(id.es[i].stream_type) + " ";
    return s;
}

const AVStream *stream_on(const AVFormatContext *in, int pid)
{
    for (unsigned i = 0; i < in->nb_streams; i++)
        if (in->streams[i]->id == pid)
            return in->streams[i];
    return nullptr;
}

TEST_F(TsIn, DemuxerSeesCuesWithAndWithoutCueiAndIdentityIsRecorded)
{
    for (bool cuei : {false, true}) {
        SCOPED_TRACE(cuei ? "with CUEI" : "without CUEI");
        ts_in *f = nullptr;
        AVFormatContext *in = open_input(stream_path(cuei), &f);
        const AVStream *cue = stream_on(in, CUE_PID);
        ASSERT_NE(nullptr, cue);
        EXPECT_EQ(AV_CODEC_ID_SCTE_35, cue->codecpar->codec_id);
        int cues = 0;
        AVPacket *pkt = av_packet_alloc();
        while (av_read_frame(in, pkt) >= 0) {
            cues += pkt->stream_index == cue->index;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        EXPECT_GE(cues, 1);

        ts_identity id;
        ts_in_stats st;
        ASSERT_EQ(0, ts_in_get_identity(f, &id));
        ASSERT_EQ(0, ts_in_get_stats(f, &st));
        EXPECT_EQ(1, id.ts_id);
        EXPECT_EQ(2064, id.program_number);
        EXPECT_EQ(0x810, id.pmt_pid);
        EXPECT_EQ(0x1FF, id.pcr_pid);
        EXPECT_EQ("4096:27 4097:3 1424:134 4099:15 4101:4 ", es_text(id));
        EXPECT_EQ(cuei ? 0 : st.pmts_seen, st.pmts_rewritten);
        EXPECT_EQ(0, st.pmts_unchanged);
        avformat_close_input(&in);
        ts_in_close(&f);
    }
    // Without the filter the same PID is lost to the demuxer.
    AVFormatContext *plain = open_input(stream_path(false), nullptr);
    EXPECT_EQ(AV_CODEC_ID_NONE, stream_on(plain, CUE_PID)->codecpar->codec_id);
    avformat_close_input(&plain);
}

// A PES begun without a PTS is noted for its PID (a picture spanning several PES).
TEST_F(TsIn, PesBegunWithoutAPtsIsNoted)
{
    std::string data = kt::read_file(stream_path(true));
    for (bool strip : {false, true}) {
        mem_source m{data};
        if (strip) {
            int seen = 0;
            for (size_t i = 0; i + 188 <= m.data.size(); i += 188) {
                uint8_t *p = (uint8_t *)&m.data[i];
                if (ts_pid(p) != 0x1000 || !(p[1] & 0x40) || ++seen < 10)
                    continue;
                size_t o = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
                p[o + 7] &= 0x3F;  // PTS_DTS_flags 0: the header's bytes become stuffing
                break;
            }
        }
        ts_in *f = nullptr;
        ASSERT_EQ(0, ts_in_open(&f, mem_read, &m, 1316));
        uint8_t buf[4096];
        while (avio_read(ts_in_pb(f), buf, sizeof(buf)) > 0) {
        }
        EXPECT_EQ(strip, ts_in_pes_untimed(f, 0x1000));
        EXPECT_FALSE(ts_in_pes_untimed(f, 0x1001));
        EXPECT_FALSE(ts_in_pes_untimed(f, CUE_PID));
        ts_in_close(&f);
    }
}

/* Rewrites the PES_packet_length of every PES on pid: lie(bytes after the length field, first packet's part) gives it. */
template <typename Lie> std::string with_pes_lengths(std::string data, int pid, Lie lie)
{
    std::vector<size_t> starts;  // offset of each PES's first payload byte
    std::vector<int> sizes, first;
    for (size_t i = 0; i + 188 <= data.size(); i += 188) {
        const uint8_t *p = (const uint8_t *)&data[i];
        int o = ts_payload_offset(p);
        if (ts_pid(p) != pid || !(p[3] & 0x10) || o < 0 || o >= 188)
            continue;
        if (p[1] & 0x40) {
            starts.push_back(i + o);
            sizes.push_back(0);
            first.push_back(188 - o - 6);
        }
        if (!sizes.empty())
            sizes.back() += 188 - o;
    }
    for (size_t k = 0; k < starts.size(); k++) {
        int len = lie(sizes[k] - 6, first[k]);
        data[starts[k] + 4] = (char)((len >> 8) & 0xFF);
        data[starts[k] + 5] = (char)(len & 0xFF);
    }
    return data;
}

// Encoders declare PES lengths that are wrong: one byte short (modulo 65536 over 64 KiB), too long where packets
// were lost, or ending on a packet's end before the PES does. Whatever they say, the demuxer gets every picture
// whole, while the filter yields between PES as a file's relay asks, and the lies are counted (the first one
// ending on a packet's end is cut: the lie is seen only after it).
TEST_F(TsIn, VideoPesWhoseLengthsLieReachTheDemuxerWhole)
{
    struct row {
        const char *name;
        int (*lie)(int actual, int first);
        bool lies;
    } rows[] = {
        {"as declared by the muxer", [](int actual, int) { return actual > 0xFFFF ? 0 : actual; }, false},
        {"one short, modulo 65536", [](int actual, int) { return (actual - 1) & 0xFFFF; }, true},
        {"too long", [](int actual, int) { return std::min(actual + 500, 0xFFFF); }, true},
        {"300 short", [](int actual, int first) { return actual - 300 > first ? actual - 300 : actual; }, true},
        {"ending with the first packet", [](int actual, int first) { return actual > first ? first : actual; }, true},
    };
    std::string data = kt::read_file(stream_path(true));
    std::vector<int> reference;
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        mem_source m{with_pes_lengths(data, 0x1000, r.lie)};
        ts_in *f = nullptr;
        ASSERT_EQ(0, ts_in_open(&f, mem_read, &m, 1316));
        ASSERT_EQ(0, ts_in_set_pass(f, 0, 0, 32768));
        AVFormatContext *in = avformat_alloc_context();
        in->pb = ts_in_pb(f);
        in->flags |= AVFMT_FLAG_CUSTOM_IO;
        in->probesize = 64 * 1024;  // the rest read after the probe, with yields
        ASSERT_EQ(0, avformat_open_input(&in, "mem", av_find_input_format("mpegts"), nullptr));
        ASSERT_GE(avformat_find_stream_info(in, nullptr), 0);
        const int relayed[] = {0x1000, 0x1001};
        ASSERT_EQ(0, ts_in_start_pass(f, relayed, 2));
        ts_in_set_yield(f, 27000000 / 50);
        std::vector<int> sizes;
        int yields = 0;
        AVPacket *pkt = av_packet_alloc();
        for (int ret; (ret = av_read_frame(in, pkt)) != AVERROR_EOF;) {
            if (ret == AVERROR(EAGAIN)) {
                yields++;
                ts_in_resume(f);
                continue;
            }
            ASSERT_GE(ret, 0);
            if (in->streams[pkt->stream_index]->id == 0x1000)
                sizes.push_back(pkt->size);
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        if (reference.empty()) {
            reference = sizes;
            EXPECT_GT(yields, 0);
        }
        /* The first lie is seen after the demuxer cut that picture; its parser joins the part to the next one. */
        int cut = r.lie(1000, 900) == 900;
        EXPECT_EQ(std::vector<int>(reference.begin() + 2 * cut, reference.end()),
                  std::vector<int>(sizes.begin() + cut, sizes.end()));
        ts_in_stats st;
        ts_in_get_stats(f, &st);
        EXPECT_EQ(r.lies, st.pes_lengths_wrong > (int64_t)sizes.size() / 2) << st.pes_lengths_wrong;
        avformat_close_input(&in);
        ts_in_close(&f);
    }
}

// A programme whose video is scrambled cannot be spliced: the filter ends the probe once it saw so, and the
// demuxer reads on from there (the cue). A clear one's probe is the demuxer's, here up to the end, unless the
// probe is bounded on the wall clock (a live source's: 40 ms here, reads of 2 ms).
TEST_F(TsIn, ProbeOfAProgrammeWithScrambledVideoEndsOnceSeen)
{
    for (int row = 0; row < 3; row++) {
        bool scrambled = row == 1, walled = row == 2;
        SCOPED_TRACE(scrambled ? "video scrambled" : walled ? "clear, bounded on the wall clock" : "clear");
        mem_source m{kt::read_file(stream_path(true)), 0, walled ? 2000 : 0};
        int64_t packets = (int64_t)(m.data.size() / TS_PACKET_SIZE);
        for (int64_t i = 0; scrambled && i < packets; i++) {
            uint8_t *p = (uint8_t *)&m.data[i * TS_PACKET_SIZE];
            if (ts_pid(p) == 0x1000 && (p[3] & 0x10)) {
                p[3] |= 0x80;
                memset(p + ts_payload_offset(p), 0x5A, TS_PACKET_SIZE - ts_payload_offset(p));
            }
        }
        ts_in *f = nullptr;
        ASSERT_EQ(0, ts_in_open(&f, mem_read, &m, 1316));
        ASSERT_EQ(0, ts_in_set_pass(f, 0, 0, 32768));
        ASSERT_EQ(0, ts_in_set_probe(f, 27000000, walled ? 40000 : 0));
        AVFormatContext *in = avformat_alloc_context();
        in->pb = ts_in_pb(f);
        in->flags |= AVFMT_FLAG_CUSTOM_IO;
        ASSERT_EQ(0, avformat_open_input(&in, "mem", av_find_input_format("mpegts"), nullptr));
        int ret = avformat_find_stream_info(in, nullptr);
        EXPECT_TRUE(ret >= 0 || ret == AVERROR_EOF) << ret;
        ts_in_stats st;
        ts_in_get_stats(f, &st);
        EXPECT_EQ(row > 0, ts_in_end_probe(f));
        EXPECT_EQ(row > 0, st.packets < packets / 4) << st.packets << " of " << packets;
        int cues = 0;
        AVPacket *pkt = av_packet_alloc();
        while (av_read_frame(in, pkt) >= 0) {
            cues += in->streams[pkt->stream_index]->id == CUE_PID;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
        EXPECT_GE(cues, 1);
        avformat_close_input(&in);
        ts_in_close(&f);
    }
}

TEST_F(TsIn, OnlyPmtPacketsChangeAndTheyStayValid)
{
    std::string data = kt::read_file(stream_path(false));
    data += data.substr(0, 100);  // an incomplete last packet is left out
    ts_in_stats st;
    ts_identity id;
    std::string out = filter_all(data, &st, &id);
    ASSERT_EQ(data.size() - 100, out.size());
    EXPECT_EQ(100, st.bytes_skipped);
    int changed = 0;
    for (size_t p = 0; p + TS_PACKET_SIZE <= data.size(); p += TS_PACKET_SIZE) {
        if (!data.compare(p, TS_PACKET_SIZE, out, p, TS_PACKET_SIZE))
            continue;
        const uint8_t *o = (const uint8_t *)out.data() + p;
        ASSERT_EQ(0x810, ts_pid(o)) << "packet " << p / TS_PACKET_SIZE;
        EXPECT_EQ(0, memcmp(o, data.data() + p, 4));  // header and continuity counter
        EXPECT_EQ(0u, mpegts_crc32(o + 5, ts_psi_section_total(o + 5)));
        changed++;
    }
    EXPECT_EQ(st.pmts_rewritten, changed);
    EXPECT_GT(changed, 0);
}

/* A PAT and one PMT packet for programme 1 on PID 0x100 declaring an SCTE-35
 * PID, its program info padded with pad bytes of descriptors. */
std::string pmt_packets(int pad)
{
    std::string ts;
    auto packet = [&ts](int pid, const std::vector<uint8_t> &sec) {
        for (size_t o = 0, first = 1; o < sec.size() || first; first = 0) {
            std::string p(TS_PACKET_SIZE, '\xFF');
            p[0] = TS_SYNC_BYTE;
            p[1] = (char)((first ? 0x40 : 0) | (pid >> 8));
            p[2] = (char)pid;
            p[3] = 0x10;
            size_t at = first ? 5 : 4;
            if (first)
                p[4] = 0;
            size_t n = std::min(sec.size() - o, TS_PACKET_SIZE - at);
            p.replace(at, n, (const char *)sec.data() + o, n);
            o += n;
            ts += p;
        }
    };
    std::vector<uint8_t> pat = {0x00, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0, 1, 0xE1, 0x00};
    pat.resize(pat.size() + 4);
    ts_psi_finish(pat.data(), 12);
    std::vector<uint8_t> pmt = {0x02, 0xB0, 0, 0, 1, 0xC1, 0, 0, 0xE1, 0x01,
                                (uint8_t)(0xF0 | (pad >> 8)), (uint8_t)pad};
    for (int left = pad; left > 0; left -= 2 + std::min(left - 2, 255)) {
        pmt.push_back(0x80);  // a user private descriptor
        pmt.push_back((uint8_t)std::min(left - 2, 255));
        pmt.resize(pmt.size() + std::min(left - 2, 255), 0);
    }
    std::vector<uint8_t> es = {0x1B, 0xE1, 0x01, 0xF0, 0x00, 0x86, 0xE5, 0x90, 0xF0, 0x00};
    pmt.insert(pmt.end(), es.begin(), es.end());
    size_t body = pmt.size();
    pmt.resize(body + 4);
    ts_psi_finish(pmt.data(), (int)body);
    packet(0, pat);
    packet(0x100, pmt);
    return ts;
}

TEST_F(TsIn, CueiAddedOnlyWhereItFits)
{
    // A PMT of 26 + pad bytes after the 5-byte packet header: 157 - pad bytes of stuffing.
    const struct {
        int pad;
        int rewritten;
    } cases[] = {{10, 1}, {151, 1}, {152, 0}, {400, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.pad);
        ts_in_stats st;
        ts_identity id;
        std::string out = filter_all(pmt_packets(c.pad), &st, &id);
        EXPECT_EQ(c.rewritten, st.pmts_rewritten);
        EXPECT_EQ(1 - c.rewritten, st.pmts_unchanged);
        EXPECT_EQ(0x100, id.pmt_pid);
        const uint8_t *pmt = (const uint8_t *)out.data() + TS_PACKET_SIZE + 5;
        if (c.rewritten) {
            EXPECT_EQ(0u, mpegts_crc32(pmt, ts_psi_section_total(pmt)));
            EXPECT_EQ(0, memcmp(pmt + 12, "\x05\x04" "CUEI", 6));
        } else {
            EXPECT_EQ(pmt_packets(c.pad), out);
        }
    }
}

AVStream *add(AVFormatContext *out, AVMediaType type, int pid)
{
    AVStream *st = avformat_new_stream(out, nullptr);
    st->codecpar->codec_type = type;
    st->id = pid;
    return st;
}

TEST(TsLayout, OutputIdentityKeepsTheInputsAndRefusesCollisions)
{
    AVFormatContext *out = nullptr;
    ASSERT_GE(avformat_alloc_output_context2(&out, nullptr, "mpegts", nullptr), 0);
    add(out, AVMEDIA_TYPE_VIDEO, 0x1000);
    add(out, AVMEDIA_TYPE_AUDIO, 0x1001);
    add(out, AVMEDIA_TYPE_DATA, 0);  // the muxer gives it 0x100 + 2
    ts_identity input = {};
    input.ts_id = 1, input.program_number = 2064, input.pmt_pid = 0x810, input.pcr_pid = 0x1FF;
    ts_identity unknown = input;
    unknown.pmt_pid = -1;
    ts_identity low = input;
    low.pmt_pid = 0x10;  // below the muxer's range: its default 0x1000 is used
    ts_identity pcr_on_audio = input;
    pcr_on_audio.pcr_pid = 0x1001;
    ts_identity multiplex = input;  // programme 7 has its PMT on 0x1100
    multiplex.programme_count = 2, multiplex.numbers[0] = 2064, multiplex.numbers[1] = 7;
    multiplex.others[0x1100 >> 3] |= 1 << (0x1100 & 7);
    const struct {
        const ts_identity *in;
        ts_layout_overrides ov;
        int ret;
        ts_layout_ids ids;
        const char *msg;
    } cases[] = {
        {&input, {0, 0, 0, 0}, 0, {2064, 0x810, 1, 0, 0x1FF}, ""},
        {&input, {5, 0x1FFA, 9, 0}, 0, {5, 0x1FFA, 9, 0, 0x1FF}, ""},
        {&input, {0, 0x1FF, 0, 0}, 0, {2064, 0x1FF, 1, 0, 0}, ""},  // PCR PIDs of streams or the PMT: the muxer's
        {&pcr_on_audio, {0, 0, 0, 0}, 0, {2064, 0x810, 1, 0, 0}, ""},
        {&unknown, {0, 0, 0, 0}, -EINVAL, {}, "PMT PID 0x1000 is also the PID of stream 0 (video)"},
        {&low, {0, 0, 0, 0}, -EINVAL, {}, "PMT PID 0x1000 is also the PID of stream 0 (video)"},
        {&input, {0, 0x1001, 0, 0}, -EINVAL, {}, "PMT PID 0x1001 is also the PID of stream 1 (audio)"},
        {&input, {0, 0x102, 0, 0}, -EINVAL, {}, "PMT PID 0x102 is also the PID of stream 2 (data)"},
        {&input, {0, 0x1FFB, 0, 0}, -ERANGE, {}, "PMT PID 8187 is outside 32..8186"},
        {&input, {65536, 0, 0, 0}, -ERANGE, {}, "program number 65536 is outside 1..65535"},
        {&input, {0, 0, -1, 0}, -ERANGE, {}, "transport_stream_id -1 is outside 1..65535"},
        {&multiplex, {0, 0x1100, 0, 0}, -EINVAL, {}, "PMT PID 0x1100 is also a PID of another programme of the input"},
        {&multiplex, {7, 0, 0, 0}, -EINVAL, {}, "program number 7 is also the number of another programme of the input"},
        {&multiplex, {7, 0x1100, 0, 1}, 0, {7, 0x1100, 1, 0, 0x1FF}, ""},  // alone: nothing to collide with
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msg);
        ts_layout_ids ids = {-7, -7, -7, -7, -7};
        char msg[128] = "";
        EXPECT_EQ(c.ret, ts_layout_output_ids(c.in, &c.ov, out, &ids, msg, sizeof(msg)));
        EXPECT_STREQ(c.msg, msg);
        const ts_layout_ids want = c.ret ? ts_layout_ids{-7, -7, -7, -7, -7} : c.ids;  // unchanged
        EXPECT_EQ(0, memcmp(&want, &ids, sizeof(ids)));
    }
    avformat_free_context(out);
}

/* The muxer's verdict on one stream of parameters par, filled first when asked. */
int header_result(const AVCodecParameters *par, bool fill)
{
    AVFormatContext *out = nullptr;
    EXPECT_GE(avformat_alloc_output_context2(&out, nullptr, "mpegts", nullptr), 0);
    AVStream *st = add(out, par->codec_type, 0x1003);
    avcodec_parameters_copy(st->codecpar, par);
    if (fill)
        ts_layout_fill_params(st->codecpar, -1);
    EXPECT_EQ(0, avio_open_dyn_buf(&out->pb));
    av_log_set_level(AV_LOG_QUIET);
    int ret = avformat_write_header(out, nullptr);
    av_log_set_level(AV_LOG_INFO);
    if (ret >= 0)
        ret = av_write_trailer(out);
    uint8_t *buf = nullptr;
    avio_close_dyn_buf(out->pb, &buf);
    av_free(buf);
    avformat_free_context(out);
    return ret;
}

// Each plan is checked against the muxer itself: what is relayed as it is
// passes its header checks, what is filled is refused before and taken after.
TEST(TsLayout, StreamPlansMatchWhatTheMuxerTakes)
{
    const struct {
        AVMediaType type;
        AVCodecID codec;
        int sample_rate;
        int plan;
    } cases[] = {
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, 0, TS_STREAM_RELAY_FILLED},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AC3, 0, TS_STREAM_RELAY_FILLED},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2, 48000, TS_STREAM_RELAY},
        {AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_NONE, 0, TS_STREAM_LEAVE_OUT},
        {AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_MPEG2VIDEO, 0, TS_STREAM_RELAY},  // no dimensions
        {AVMEDIA_TYPE_DATA, AV_CODEC_ID_NONE, 0, TS_STREAM_RELAY},
        {AVMEDIA_TYPE_UNKNOWN, AV_CODEC_ID_NONE, 0, TS_STREAM_RELAY},
    };
    AVCodecParameters *par = avcodec_parameters_alloc();
    for (const auto &c : cases) {
        SCOPED_TRACE(avcodec_get_name(c.codec));
        par->codec_type = c.type;
        par->codec_id = c.codec;
        par->sample_rate = c.sample_rate;
        EXPECT_EQ(c.plan, ts_layout_stream_plan(par));
        if (c.plan == TS_STREAM_LEAVE_OUT)
            continue;
        EXPECT_EQ(c.plan == TS_STREAM_RELAY, header_result(par, false) >= 0);
        EXPECT_EQ(0, header_result(par, true));
    }
    avcodec_parameters_free(&par);
}

}  // namespace
