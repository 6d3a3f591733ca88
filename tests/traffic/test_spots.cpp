// The spot store on generated spots: files found by id, checked against a
// generated programme as the filler is, room made by air time and need.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "lib/test_support.h"
#include "splice/filler.h"
#include "traffic/spots.h"

namespace {

class Spots : public ::testing::Test {
protected:
    static kt::TempDir *dir;
    static AVFormatContext *programme;

    static void SetUpTestSuite()
    {
        dir = new kt::TempDir;
        const char *files[][2] = {{"prog.ts", "--duration 1"}, {"4.ts", "--spot 4 --duration 1"},
                                  {"big.ts", "--spot 5 --duration 1 --size 640x360"},
                                  {"mono.ts", "--spot 6 --duration 1 --audio aac"}};
        for (const auto &f : files)
            ASSERT_EQ("", kt::generate(*dir / f[0], f[1]));
        for (const char *copy : {"a", "b", "c", "d", "e"})
            std::filesystem::copy_file(*dir / "4.ts", *dir / (std::string(copy) + ".ts"));
        ASSERT_EQ(0, avformat_open_input(&programme, (*dir / "prog.ts").c_str(), nullptr, nullptr));
        ASSERT_LE(0, avformat_find_stream_info(programme, nullptr));
    }
    static void TearDownTestSuite()
    {
        avformat_close_input(&programme);
        delete dir;
    }

    // Reads spot id into s as the traffic does; returns its state.
    static int put(spot_store *s, const char *id, int64_t needed_at = 0, const AVFormatContext *prog = programme)
    {
        char file[EVENT_SPOT_FILE_SIZE];
        filler_ctx *media = nullptr;
        int ret = spot_read(dir->path.c_str(), id, file, sizeof(file), &media);
        spot *sp = spot_store_want(s, id);
        sp->needed_at = needed_at;
        return spot_store_put(s, sp, ret, file, media, prog);
    }
};
kt::TempDir *Spots::dir;
AVFormatContext *Spots::programme;

TEST_F(Spots, FoundByIdAndCheckedAsTheFillerIs)
{
    spot_store *s = nullptr;
    ASSERT_EQ(0, spot_store_create(&s, dir->path.c_str(), 1 << 30));
    struct { const char *id, *file; int state; const char *why; } rows[] = {
        {"00000000004", "4.ts", SPOT_READY, ""},
        {"big", "big.ts", SPOT_UNUSABLE, "PID 0x100 (video): 640x360 in the spot, 320x240 in the programme"},
        {"mono", "mono.ts", SPOT_UNUSABLE, "PID 0x102 (audio): no spot stream"},
        {"0000", "", SPOT_MISSING, "no file"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.id);
        EXPECT_EQ(row.state, put(s, row.id));
        const spot *sp = spot_store_find(s, row.id);
        EXPECT_STREQ(row.file, sp->file);
        EXPECT_STREQ(row.why, sp->why);
    }
    EXPECT_EQ(90000, spot_store_find(s, "00000000004")->length);
    // Read before any programme is known: checked when the session gives one.
    EXPECT_EQ(SPOT_READ, put(s, "a", 0, nullptr));
    EXPECT_EQ(2, spot_store_check(s, programme));
    EXPECT_EQ(SPOT_READY, spot_store_find(s, "a")->state);
    EXPECT_EQ(0, spot_store_destroy(&s));
    EXPECT_EQ(-EINVAL, spot_store_destroy(&s));
}

TEST(SpotShort, ASpotAirsUnlessShorterThanSoldByMoreThanATenthOfASecond)
{
    struct { int state; int64_t length; int sold; const char *why; } rows[] = {
        {SPOT_READY, 30 * 90000, 30, ""},
        {SPOT_READY, 30 * 90000 - 9000, 30, ""},  // 0.1 s short: still airs
        {SPOT_READ, 30 * 90000 - 9001, 30, "too short by 0.10 s: 29.90 s of pictures, 30 s scheduled"},
        {SPOT_READY, 28 * 90000, 30, "too short by 2.00 s: 28.00 s of pictures, 30 s scheduled"},
        {SPOT_READY, 31 * 90000, 30, ""},
        {SPOT_UNUSABLE, 0, 30, ""},  // its state says why it cannot air
    };
    for (const auto &row : rows) {
        spot sp = {};
        sp.state = row.state;
        sp.length = row.length;
        sp.frame = 3600;
        char why[SPOT_WHY_SIZE] = "";
        EXPECT_EQ(row.why[0] != 0, spot_short(&sp, row.sold, why, sizeof(why))) << row.length;
        EXPECT_STREQ(row.why, why);
    }
}

TEST_F(Spots, RoomIsMadeFromTheSpotsAiredLongestAgoThenThoseNeededLatest)
{
    spot_store *probe = nullptr, *s = nullptr;
    ASSERT_EQ(0, spot_store_create(&probe, dir->path.c_str(), 1 << 30));
    put(probe, "a");
    int64_t one = spot_store_bytes(probe);
    spot_store_destroy(&probe);
    ASSERT_EQ(0, spot_store_create(&s, dir->path.c_str(), one * 5 / 2));

    put(s, "a", 10);
    spot_store_find(s, "a")->aired = 1;
    put(s, "b", 20);
    EXPECT_EQ(SPOT_READY, put(s, "c", 5));      // a aired: it goes first
    EXPECT_EQ(SPOT_WANTED, spot_store_find(s, "a")->state);
    EXPECT_EQ(SPOT_WANTED, put(s, "d", 30));    // b and c are needed sooner
    EXPECT_STREQ("no room in the spot cache", spot_store_find(s, "d")->why);
    EXPECT_EQ(SPOT_READY, put(s, "e", 1));      // b, needed latest, goes
    EXPECT_EQ(nullptr, spot_store_find(s, "b")->media);
    spot_store_find(s, "c")->pins = 1;
    EXPECT_EQ(SPOT_WANTED, put(s, "a", 2));     // c is in use, e needed sooner
    EXPECT_NE(nullptr, spot_store_find(s, "c")->media);
    EXPECT_EQ(2 * one, spot_store_bytes(s));
    spot_store_destroy(&s);
}

} // namespace
