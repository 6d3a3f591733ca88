// Filler store on real files, generated with the ffmpeg command into a
// temporary folder. ffprobe, reading the same files on its own, says which
// packets each stream must hold and in which order.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "pipeline/filler.h"

namespace fs = std::filesystem;

namespace {

struct probed_packet {
    int64_t dts;
    int size;
};

class Filler : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/kestrow-filler-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }

    static void TearDownTestSuite() { fs::remove_all(dir); }

    static std::string path(const std::string &name) { return dir + "/" + name; }

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
        std::string list = path("probe.txt");
        std::string cmd = "ffprobe -v error -show_entries packet=stream_index,dts,size "
                          "-of compact=nokey=0 '" + file + "' > '" + list + "'";
        EXPECT_EQ(0, std::system(cmd.c_str())) << cmd;
        std::map<int, std::vector<probed_packet>> out;
        std::ifstream in(list);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("packet|", 0) != 0)
                continue;
            int index = -1;
            probed_packet p = {AV_NOPTS_VALUE, -1};
            std::stringstream fields(line);
            std::string field;
            while (std::getline(fields, field, '|')) {
                size_t eq = field.find('=');
                if (eq == std::string::npos)
                    continue;
                std::string key = field.substr(0, eq), value = field.substr(eq + 1);
                if (key == "stream_index")
                    index = std::stoi(value);
                else if (key == "dts" && value != "N/A")
                    p.dts = std::stoll(value);
                else if (key == "size")
                    p.size = std::stoi(value);
            }
            out[index].push_back(p);
        }
        return out;
    }

    static void expect_slot_matches(const filler_stream &slot, int index,
                                    const std::vector<probed_packet> &want)
    {
        ASSERT_EQ((int32_t)want.size(), slot.count) << "stream " << index;
        EXPECT_EQ(0, slot.capacity % FILLER_GROWTH);
        EXPECT_GE(slot.capacity, slot.count);
        for (int32_t i = 0; i < slot.count; i++) {
            const AVPacket *p = slot.packets[i];
            ASSERT_EQ(index, p->stream_index) << "packet " << i;
            ASSERT_EQ(want[i].dts, p->dts) << "stream " << index << " packet " << i;
            ASSERT_EQ(want[i].size, p->size) << "stream " << index << " packet " << i;
        }
    }

    static std::string dir;
};

std::string Filler::dir;

} // namespace

TEST_F(Filler, KeepsVideoAndAudioInFileOrder)
{
    std::string file = av_file();
    std::map<int, std::vector<probed_packet>> want = probe(file);
    ASSERT_EQ(2u, want.size());

    filler_ctx *f = nullptr;
    ASSERT_EQ(0, filler_load(file.c_str(), &f));
    ASSERT_NE(nullptr, f);
    ASSERT_NE(nullptr, f->format);
    ASSERT_EQ(2u, f->format->nb_streams);
    EXPECT_EQ(AVMEDIA_TYPE_VIDEO, f->format->streams[0]->codecpar->codec_type);
    EXPECT_EQ(AVMEDIA_TYPE_AUDIO, f->format->streams[1]->codecpar->codec_type);
    EXPECT_EQ(50, f->streams[0].count);  // 2 s at 25 frames/s
    expect_slot_matches(f->streams[0], 0, want[0]);
    expect_slot_matches(f->streams[1], 1, want[1]);
    for (int s = 2; s < FILLER_MAX_STREAMS; s++) {
        EXPECT_EQ(0, f->streams[s].count);
        EXPECT_EQ(nullptr, f->streams[s].packets);
    }

    EXPECT_EQ(0, filler_destroy(&f));
    EXPECT_EQ(nullptr, f);
    EXPECT_EQ(-22, filler_destroy(&f));
    EXPECT_EQ(-22, filler_destroy(nullptr));
}

TEST_F(Filler, GrowsInSteps)
{
    std::string file = make("a3000.ts", "-f lavfi -i sine=sample_rate=48000 -frames:a 3000 "
                                        "-c:a mp2 -f mpegts");
    filler_ctx *f = nullptr;
    ASSERT_EQ(0, filler_load(file.c_str(), &f));
    EXPECT_EQ(3000, f->streams[0].count);
    EXPECT_EQ(3072, f->streams[0].capacity);
    expect_slot_matches(f->streams[0], 0, probe(file)[0]);
    for (int s = 1; s < FILLER_MAX_STREAMS; s++)
        EXPECT_EQ(0, f->streams[s].capacity);
    EXPECT_EQ(0, filler_destroy(&f));
}

TEST_F(Filler, StoresOnlyTheFirstSixteenStreams)
{
    std::string maps;
    for (int i = 0; i < 18; i++)
        maps += " -map 0:a";
    std::string file =
        make("many.ts", "-f lavfi -i sine=sample_rate=48000" + maps + " -t 1 -c:a mp2 -f mpegts");
    std::map<int, std::vector<probed_packet>> want = probe(file);
    ASSERT_EQ(18u, want.size());

    filler_ctx *f = nullptr;
    ASSERT_EQ(0, filler_load(file.c_str(), &f));
    EXPECT_EQ(18u, f->format->nb_streams);  // all streams still described
    for (int s = 0; s < FILLER_MAX_STREAMS; s++)
        expect_slot_matches(f->streams[s], s, want[s]);
    EXPECT_EQ(0, filler_destroy(&f));  // packets of streams 16 and 17 were freed at load
}

TEST_F(Filler, EmptyMediaFileLoads)
{
    std::string file = make("empty.wav", "-f lavfi -i sine -t 0 -c:a pcm_s16le -f wav");
    filler_ctx *f = nullptr;
    ASSERT_EQ(0, filler_load(file.c_str(), &f));
    ASSERT_NE(nullptr, f);
    for (int s = 0; s < FILLER_MAX_STREAMS; s++) {
        EXPECT_EQ(0, f->streams[s].count);
        EXPECT_EQ(nullptr, f->streams[s].packets);
    }
    EXPECT_EQ(0, filler_destroy(&f));
}

TEST_F(Filler, FailuresLeaveNothing)
{
    filler_ctx stale = {};
    filler_ctx *f = &stale;
    EXPECT_EQ(AVERROR(ENOENT), filler_load(path("missing.ts").c_str(), &f));
    EXPECT_EQ(nullptr, f);

    std::string text = path("notes.txt");
    std::ofstream(text) << "not a media file\n";
    f = &stale;
    EXPECT_EQ(AVERROR_INVALIDDATA, filler_load(text.c_str(), &f));
    EXPECT_EQ(nullptr, f);

    EXPECT_EQ(-22, filler_load(av_file().c_str(), nullptr));
    f = &stale;
    EXPECT_EQ(-22, filler_load(nullptr, &f));
    EXPECT_EQ(nullptr, f);
}
