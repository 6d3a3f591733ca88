// Filler store on real files, generated with the ffmpeg command into a
// temporary folder. ffprobe, reading the same files on its own, says which
// packets each stream must hold and in which order.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "lib/test_support.h"
#include "splice/filler.h"

namespace fs = std::filesystem;

namespace {

struct probed_packet {
    int64_t dts;
    int size;
};

class Filler : public ::testing::Test {
protected:
    static void SetUpTestSuite() { dir = new kt::TempDir; }
    static void TearDownTestSuite() { delete dir; }
    static std::string path(const std::string &name) { return *dir / name; }

    // Runs ffmpeg with the given arguments, writing name in the temp folder.
    static std::string make(const std::string &name, const std::string &args)
    {
        std::string out = path(name);
        if (!fs::exists(out)) {
            std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y " + args + " '" +
                              out + "'";
            EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
        }
        return out;
    }

    // Video (H.264, B-frames) at index 0 and AAC audio at index 1, 2 s.
    static std::string av_file()
    {
        return make("av.ts", "-f lavfi -i testsrc=size=160x120:rate=25 "
                             "-f lavfi -i sine=frequency=440:sample_rate=48000 -t 2 "
                             "-map 0:v -map 1:a -c:v libx264 -g 25 -bf 2 -c:a aac -f mpegts");
    }

    // Per stream index, the packets in file order as ffprobe reads them.
    static std::map<int, std::vector<probed_packet>> probe(const std::string &file)
    {
        std::string cmd = "ffprobe -v error -show_entries packet=stream_index,dts,size -of csv=p=0 '" + file + "'";
        std::map<int, std::vector<probed_packet>> out;
        FILE *f = popen(cmd.c_str(), "r");
        char line[256], dts[32];
        int index;
        probed_packet p;
        while (f && fgets(line, sizeof(line), f)) {
            if (sscanf(line, "%d,%31[^,],%d", &index, dts, &p.size) != 3)
                continue;  // blank lines between packets
            p.dts = strcmp(dts, "N/A") ? std::stoll(dts) : AV_NOPTS_VALUE;
            out[index].push_back(p);
        }
        EXPECT_EQ(0, f ? pclose(f) : -1) << cmd;
        return out;
    }

    static void expect_slot_matches(const filler_stream &slot, int index,
                                    const std::vector<probed_packet> &want)
    {
        ASSERT_EQ((int32_t)want.size(), slot.count) << "stream " << index;
        if (!slot.count) {
            EXPECT_EQ(nullptr, slot.packets);
        }
        for (int32_t i = 0; i < slot.count; i++) {
            const AVPacket *p = slot.packets[i];
            ASSERT_EQ(index, p->stream_index) << "packet " << i;
            ASSERT_EQ(want[i].dts, p->dts) << "stream " << index << " packet " << i;
            ASSERT_EQ(want[i].size, p->size) << "stream " << index << " packet " << i;
        }
    }

    static kt::TempDir *dir;
};

kt::TempDir *Filler::dir;

} // namespace

TEST_F(Filler, KeepsTheFirstSixteenStreamsInFileOrder)
{
    std::string maps;
    for (int i = 0; i < 18; i++)
        maps += " -map 0:a";
    struct {
        std::string file;
        int streams;  // as described by the file
    } cases[] = {
        {av_file(), 2},
        {make("a3000.ts", "-f lavfi -i sine=sample_rate=48000 -frames:a 3000 -c:a mp2 -f mpegts"), 1},
        {make("many.ts", "-f lavfi -i sine=sample_rate=48000" + maps + " -t 1 -c:a mp2 -f mpegts"), 18},
        {make("empty.wav", "-f lavfi -i sine -t 0 -c:a pcm_s16le -f wav"), 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.file);
        std::map<int, std::vector<probed_packet>> want = probe(c.file);
        filler_ctx *f = nullptr;
        ASSERT_EQ(0, filler_load(c.file.c_str(), &f));
        ASSERT_NE(nullptr, f);
        EXPECT_EQ((unsigned)c.streams, f->format->nb_streams);
        for (int s = 0; s < FILLER_MAX_STREAMS; s++)
            expect_slot_matches(f->streams[s], s, want[s]);
        EXPECT_EQ(0, filler_destroy(&f));  // packets of streams 16 and 17 were freed at load
        EXPECT_EQ(nullptr, f);
        EXPECT_EQ(-22, filler_destroy(&f));
    }
}

TEST_F(Filler, FailuresLeaveNothing)
{
    kt::write_file(path("notes.txt"), "not a media file\n");
    struct {
        std::string file;
        int want;
    } cases[] = {
        {path("missing.ts"), AVERROR(ENOENT)},
        {path("notes.txt"), AVERROR_INVALIDDATA},
    };
    for (auto &c : cases) {
        filler_ctx stale = {};
        filler_ctx *f = &stale;
        EXPECT_EQ(c.want, filler_load(c.file.c_str(), &f)) << c.file;
        EXPECT_EQ(nullptr, f);
    }
    filler_ctx *f = nullptr;
    EXPECT_EQ(-22, filler_load(nullptr, &f));
    EXPECT_EQ(-22, filler_load(path("notes.txt").c_str(), nullptr));
    std::atomic<int> stop{1};  // a stop asked for: the reading ends at once
    EXPECT_EQ(-EINTR, filler_load(av_file().c_str(), &f, &stop));
    EXPECT_EQ(nullptr, f);
}

namespace {

/* A context with one stream per entry: {PID, type, codec, width or sample rate, language}. */
struct stream_spec {
    int pid;
    AVMediaType type;
    AVCodecID codec;
    int size_or_rate;
    const char *lang = nullptr;
};

AVFormatContext *streams_of(const std::vector<stream_spec> &specs)
{
    AVFormatContext *fmt = avformat_alloc_context();
    for (const stream_spec &s : specs) {
        AVStream *st = avformat_new_stream(fmt, nullptr);
        st->id = s.pid;
        if (s.lang)
            av_dict_set(&st->metadata, "language", s.lang, 0);
        st->codecpar->codec_type = s.type;
        st->codecpar->codec_id = s.codec;
        if (s.type == AVMEDIA_TYPE_VIDEO)
            st->codecpar->width = st->codecpar->height = s.size_or_rate;
        else
            st->codecpar->sample_rate = s.size_or_rate;
    }
    return fmt;
}

} // namespace

TEST(FillerCheck, NamesEachProgrammeStreamTheFillerCannotReplace)
{
    const stream_spec video = {0x100, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, 240};
    const stream_spec audio = {0x101, AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, 48000};
    const stream_spec data = {0x590, AVMEDIA_TYPE_DATA, AV_CODEC_ID_SCTE_35, 0};
    const struct {
        std::vector<stream_spec> filler;
        std::vector<std::string> want;
    } cases[] = {
        {{video, audio}, {}},
        {{{0x301, AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, 48000}, {0x300, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, 240}},
         {}},
        {{{0x101, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, 240}}, {"PID 0x101 (audio): no filler stream"}},
        {{{0x100, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_HEVC, 240}, {0x101, AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, 44100}},
         {"PID 0x100 (video): codec hevc in the filler, h264 in the programme",
          "PID 0x101 (audio): 44100 Hz in the filler, 48000 Hz in the programme"}},
        {{{0x100, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, 480}, {0x101, AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_MP2, 48000}},
         {"PID 0x100 (video): 480x480 in the filler, 240x240 in the programme",
          "PID 0x101 (audio): codec mp2 in the filler, aac in the programme"}},
    };
    AVFormatContext *programme = streams_of({video, audio, data});
    for (const auto &c : cases) {
        filler_ctx filler = {};
        filler.format = streams_of(c.filler);
        for (auto &fs : filler.streams)
            fs.count = 1;  // a stream stands in only with packets; none is read here
        filler_mismatch found[4];
        char text[128];
        std::vector<std::string> got;
        /* With room for one, the count still covers every difference. */
        ASSERT_EQ((int)c.want.size(), filler_check(&filler, programme, found, 1));
        for (int i = 0; i < filler_check(&filler, programme, found, 4); i++) {
            filler_mismatch_text(&found[i], text, sizeof(text));
            got.push_back(text);
        }
        EXPECT_EQ(c.want, got);
        avformat_free_context(filler.format);
    }
    avformat_free_context(programme);

    /* A size or rate the programme's probe did not learn is no difference. */
    programme = streams_of({{0x100, AVMEDIA_TYPE_VIDEO, AV_CODEC_ID_H264, 0},
                            {0x101, AVMEDIA_TYPE_AUDIO, AV_CODEC_ID_AAC, 0}});
    filler_ctx filler = {};
    filler.format = streams_of({video, audio});
    for (auto &fs : filler.streams)
        fs.count = 1;
    EXPECT_EQ(0, filler_check(&filler, programme, nullptr, 0));
    avformat_free_context(filler.format);
    avformat_free_context(programme);
}

TEST(FillerMatch, VideoByRankAudioByLanguageThenPidThenRank)
{
    const AVMediaType V = AVMEDIA_TYPE_VIDEO, A = AVMEDIA_TYPE_AUDIO;
    AVFormatContext *programme = streams_of({{0x100, V, AV_CODEC_ID_H264, 240, nullptr},
                                             {0x101, A, AV_CODEC_ID_AAC, 48000, "fra"},
                                             {0x102, A, AV_CODEC_ID_AAC, 48000, "eng"},
                                             {0x203, A, AV_CODEC_ID_AAC, 48000, nullptr},
                                             {0x104, A, AV_CODEC_ID_AAC, 48000, "und"},
                                             {0x105, A, AV_CODEC_ID_AAC, 48000, nullptr},
                                             {0x590, AVMEDIA_TYPE_DATA, AV_CODEC_ID_SCTE_35, 0, nullptr}});
    filler_ctx filler = {};
    filler.format = streams_of({{0x200, A, AV_CODEC_ID_AAC, 48000, "eng"}, {0x201, V, AV_CODEC_ID_H264, 240, nullptr},
                                {0x202, A, AV_CODEC_ID_AAC, 48000, "fra"}, {0x203, A, AV_CODEC_ID_AAC, 48000, "deu"},
                                {0x204, A, AV_CODEC_ID_AAC, 48000, nullptr}});
    for (auto &fs : filler.streams)
        fs.count = 1;
    const struct {
        const AVFormatContext *programme;
        int pid, want;
    } rows[] = {
        {programme, 0x100, 1},  // the only video, whatever its PID
        {nullptr, 0x100, 1},    // without the programme: a video
        {programme, 0x101, 2},  // language
        {programme, 0x102, 0},
        {programme, 0x203, 3},  // no language: the same PID
        {programme, 0x104, 4},  // fourth audio: the filler's fourth ("und" is no language)
        {programme, 0x105, -1}, // fifth audio: the filler has fewer, silent for the break
        {programme, 0x590, -1}, // cues: never
        {programme, 0x999, -1},
    };
    for (const auto &r : rows)
        EXPECT_EQ(r.want, filler_match(&filler, r.programme, r.pid)) << std::hex << r.pid;
    avformat_free_context(filler.format);
    avformat_free_context(programme);
}
