// Conforming on generated files: the channel's format read from a programme
// and kept between runs, the gain that brings a spot to the target loudness,
// and the cache's records of what was conformed.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "conform/conform.h"
#include "lib/test_support.h"

namespace {

class Conform : public ::testing::Test {
protected:
    static kt::TempDir *dir;

    static void SetUpTestSuite()
    {
        dir = new kt::TempDir;
        std::filesystem::create_directory(*dir / "spots");
        const char *files[][2] = {{"prog.ts", "--duration 1 --audio-pids 0x101,0x102"},
                                  {"spots/0042.ts", "--spot 42 --duration 1"}};
        for (const auto &f : files)
            ASSERT_EQ("", kt::generate(*dir / f[0], f[1]));
    }
    static void TearDownTestSuite() { delete dir; }
};
kt::TempDir *Conform::dir;

// The format a programme's streams give, kept in its file and read back whatever the loudness asked.
TEST_F(Conform, TheChannelsFormatFromAProgrammeKeptBetweenRuns)
{
    conform_target t, back;
    ASSERT_EQ(0, conform_target_from_file((*dir / "prog.ts").c_str(), -23, &t));
    EXPECT_EQ(0x100, t.video.pid);
    EXPECT_EQ(AV_CODEC_ID_H264, t.video.codec_id);
    EXPECT_EQ(320, t.video.width);
    EXPECT_EQ(240, t.video.height);
    EXPECT_EQ(0, av_cmp_q(AVRational{25, 1}, t.video.fps));
    ASSERT_EQ(2, t.audio_count);
    EXPECT_EQ(0x101, t.audio[0].pid);
    EXPECT_EQ(AV_CODEC_ID_AAC, t.audio[0].codec_id);
    EXPECT_EQ(0x102, t.audio[1].pid);
    EXPECT_EQ(AV_CODEC_ID_MP2, t.audio[1].codec_id);
    EXPECT_EQ(48000, t.audio[1].sample_rate);
    EXPECT_EQ(1, t.audio[1].channels);
    EXPECT_EQ(0, t.audio[1].bit_rate % 16000);  // the probe's estimate to the encoders' steps

    // The same from the opened input, as the service takes it.
    AVFormatContext *in = nullptr;
    ASSERT_EQ(0, avformat_open_input(&in, (*dir / "prog.ts").c_str(), nullptr, nullptr));
    ASSERT_LE(0, avformat_find_stream_info(in, nullptr));
    conform_target live;
    ASSERT_EQ(0, conform_target_from(in, in, -23, &live));
    avformat_close_input(&in);
    char a[512], b[512];
    conform_target_text(&t, a, sizeof(a));
    conform_target_text(&live, b, sizeof(b));
    EXPECT_STREQ(a, b);
    EXPECT_STREQ("h264 320x240 25 fps, aac 48000 Hz 1 ch, mp2 48000 Hz 1 ch, -23.0 LUFS", a);

    std::string kept = *dir / "format.txt";
    ASSERT_EQ(0, conform_target_save(kept.c_str(), &t));
    ASSERT_EQ(0, conform_target_load(kept.c_str(), -24, &back));
    EXPECT_EQ(-24, back.lufs);
    back.lufs = t.lufs;
    EXPECT_EQ(0, memcmp(&t.video, &back.video, sizeof(t.video)));
    EXPECT_EQ(t.audio_count, back.audio_count);
    for (int i = 0; i < t.audio_count; i++)
        EXPECT_EQ(0, memcmp(&t.audio[i], &back.audio[i], sizeof(t.audio[i]))) << i;

    // Anything else is refused: another file, a kept format cut short, a file without video.
    kt::write_file(*dir / "other.txt", "video 256 h264\n");
    EXPECT_EQ(-EINVAL, conform_target_load((*dir / "other.txt").c_str(), -23, &back));
    EXPECT_EQ(-ENOENT, conform_target_load((*dir / "none.txt").c_str(), -23, &back));
    std::string cut = kt::read_file<std::string>(kept);
    kt::write_file(*dir / "cut.txt", cut.substr(0, cut.find("audio")) + "audio 257 aac\n");
    EXPECT_EQ(-EINVAL, conform_target_load((*dir / "cut.txt").c_str(), -23, &back));
    std::string radio = *dir / "radio.ts";
    ASSERT_EQ(0, std::system(("ffmpeg -nostdin -v error -f lavfi -i sine=d=1 -c:a mp2 -y '" + radio + "'").c_str()));
    EXPECT_EQ(-EINVAL, conform_target_from_file(radio.c_str(), -23, &back));
}

// A channel in MPEG-2 with interlaced pictures gets its spots in that format (the encoder refuses closed GOPs
// unless told not to cut at scene changes).
TEST_F(Conform, ASpotInAnInterlacedMpeg2Channel)
{
    conform_target t, got;
    ASSERT_EQ(0, conform_target_from_file((*dir / "prog.ts").c_str(), -23, &t));
    t.video.codec_id = AV_CODEC_ID_MPEG2VIDEO;
    t.video.profile = FF_PROFILE_UNKNOWN;
    t.video.level = FF_LEVEL_UNKNOWN;
    t.video.field_order = AV_FIELD_TT;
    t.length = 1;
    conform_result res;
    std::string out = *dir / "mpeg2.ts";
    ASSERT_EQ(0, conform_file((*dir / "prog.ts").c_str(), out.c_str(), &t, &res, nullptr)) << res.why;
    EXPECT_EQ(CONFORM_CONFORMED, res.status);
    ASSERT_EQ(0, conform_target_from_file(out.c_str(), -23, &got));
    EXPECT_EQ(AV_CODEC_ID_MPEG2VIDEO, got.video.codec_id);
    EXPECT_EQ(AV_FIELD_TT, got.video.field_order);
    EXPECT_EQ(t.video.pid, got.video.pid);
}

// The gain to the target, held under the true-peak limit; silence gets none.
TEST(ConformGain, ToTheTargetUnderTheTruePeak)
{
    const double none = std::numeric_limits<double>::infinity();
    struct { double integrated, peak, lufs, gain; } rows[] = {
        {-30, -12, -23, 7},       // raised to the target
        {-16, -2, -23, -7},       // lowered
        {-30, -3, -23, 2},        // raised only up to -1 dBTP
        {-30, none, -23, 7},      // no peak measured: the target alone
        {-23, -0.5, -23, -0.5},   // at the target but over the peak: lowered under it
        {CONFORM_SILENT, -90, -23, 0},
        {std::nan(""), -10, -23, 0},
    };
    for (const auto &r : rows)
        EXPECT_DOUBLE_EQ(r.gain, conform_gain(r.integrated, r.peak, r.lufs)) << r.integrated << " " << r.peak;
}

// A spot conformed once: its record says so until its content or the target changes; a failure is kept too.
TEST_F(Conform, TheCacheKeepsARecordOfEachCopyAndItsSource)
{
    std::string spots = *dir / "spots";
    char cache[CONFORM_PATH_SIZE], name[64], copy[CONFORM_PATH_SIZE];
    conform_cache_dir(spots.c_str(), cache, sizeof(cache));
    EXPECT_EQ(spots + "/.conformed", cache);

    // Found by id, the leading zeros left out too, a transport stream first, never a part.
    kt::write_file(spots + "/7.mxf", "x");
    kt::write_file(spots + "/7.part", "x");
    ASSERT_EQ(0, conform_find_source(spots.c_str(), "0042", name, sizeof(name)));
    EXPECT_STREQ("0042.ts", name);
    ASSERT_EQ(0, conform_find_source(spots.c_str(), "007", name, sizeof(name)));
    EXPECT_STREQ("7.mxf", name);
    EXPECT_EQ(-ENOENT, conform_find_source(spots.c_str(), "8", name, sizeof(name)));

    conform_target t, louder;
    ASSERT_EQ(0, conform_target_from_file((*dir / "prog.ts").c_str(), -23, &t));
    t.length = 1;
    louder = t;
    louder.lufs = -16;
    conform_result res;
    EXPECT_EQ(-EAGAIN, conform_cached(spots.c_str(), "0042.ts", cache, &t, &res, copy, sizeof(copy)));
    ASSERT_EQ(0, conform_run(spots.c_str(), "0042.ts", cache, &t, &res, nullptr));
    EXPECT_NE(CONFORM_FAILED, res.status);
    EXPECT_EQ(25, res.pictures);
    EXPECT_EQ(1, conform_run(spots.c_str(), "0042.ts", cache, &t, &res, nullptr));  // the cache had it
    conform_result kept;
    ASSERT_EQ(0, conform_cached(spots.c_str(), "0042.ts", cache, &t, &kept, copy, sizeof(copy)));
    EXPECT_EQ(res.status, kept.status);
    EXPECT_NEAR(res.after, kept.after, 0.01);
    EXPECT_EQ(std::string(cache) + "/0042.ts.ts", copy);
    EXPECT_TRUE(std::filesystem::exists(copy));
    EXPECT_EQ(0, conform_cached(spots.c_str(), "0042.ts", cache, nullptr, &kept, nullptr, 0));  // any target
    EXPECT_EQ(-EAGAIN, conform_cached(spots.c_str(), "0042.ts", cache, &louder, &kept, nullptr, 0));

    // The same name with other content is conformed again; a source gone is said.
    std::filesystem::copy_file(*dir / "prog.ts", spots + "/0042.ts", std::filesystem::copy_options::overwrite_existing);
    EXPECT_EQ(-EAGAIN, conform_cached(spots.c_str(), "0042.ts", cache, &t, &kept, nullptr, 0));
    std::filesystem::remove(spots + "/0042.ts");
    EXPECT_EQ(-ENOENT, conform_cached(spots.c_str(), "0042.ts", cache, &t, &kept, nullptr, 0));

    // A file that cannot be conformed is recorded as such and not tried again while it stays the same.
    EXPECT_EQ(CONFORM_ERR_FAILED, conform_run(spots.c_str(), "7.mxf", cache, &t, &res, nullptr));
    EXPECT_EQ(CONFORM_FAILED, res.status);
    EXPECT_STRNE("", res.why);
    EXPECT_EQ(CONFORM_ERR_FAILED, conform_cached(spots.c_str(), "7.mxf", cache, &t, &kept, nullptr, 0));
    EXPECT_STREQ(res.why, kept.why);
}

} // namespace
