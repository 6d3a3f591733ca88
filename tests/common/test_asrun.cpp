/*
 * The as-run line and its file: JSON text, appends, rotation like the log's.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>

#include "common/asrun.h"
#include "lib/test_support.h"

TEST(Asrun, LinesAreOneJsonObjectEach)
{
    asrun_record end = asrun_record_make(ASRUN_BREAK_END, 1700000000123);
    end.splice_event_id = 4294967295;
    end.splice_time = 8589934591;
    end.duration = 2700000;
    end.pts = 0;
    end.aired = 2699999;
    end.reencoded = 24;
    strcpy(end.fallback, "unmatched");
    strcpy(end.reason, "duration");
    strcpy(end.channel, "News \"1\"");
    asrun_record spot = asrun_record_make(ASRUN_SPOT, 0);
    strcpy(spot.spot_id, "ACME0000123");
    strcpy(spot.spot_file, "ACME0000123.ts");
    spot.break_number = 2;
    spot.position = 3;
    spot.aired = 540000;
    strcpy(spot.reason, "aired");
    asrun_record odd = asrun_record_make(ASRUN_IGNORED, 999);
    strcpy(odd.reason, "say \"no\"\\\n\t\x01 caf\xc3\xa9");
    odd.segmentation_event_id = 5;
    odd.late = 45000;
    asrun_record sw = asrun_record_make(ASRUN_INPUT_SWITCH, 0);
    strcpy(sw.input, "backup");
    strcpy(sw.reason, "lost");
    const std::pair<asrun_record, std::string> cases[] = {
        {sw, "{\"time\":\"1970-01-01T00:00:00.000Z\",\"event\":\"input_switch\",\"channel\":null,"
             "\"splice_event_id\":null,\"segmentation_event_id\":null,\"splice_time\":null,\"duration\":null,"
             "\"pts\":null,\"aired\":null,\"late\":null,\"input\":\"backup\",\"reason\":\"lost\"}\n"},
        {end, "{\"time\":\"2023-11-14T22:13:20.123Z\",\"event\":\"break_end\",\"channel\":\"News \\\"1\\\"\","
              "\"splice_event_id\":4294967295,\"segmentation_event_id\":null,\"splice_time\":8589934591,"
              "\"duration\":2700000,\"pts\":0,\"aired\":2699999,\"late\":null,\"reencoded\":24,"
              "\"fallback\":\"unmatched\",\"reason\":\"duration\"}\n"},
        {spot, "{\"time\":\"1970-01-01T00:00:00.000Z\",\"event\":\"spot\",\"channel\":null,\"splice_event_id\":null,"
               "\"segmentation_event_id\":null,\"splice_time\":null,\"duration\":null,\"pts\":null,\"aired\":540000,"
               "\"late\":null,\"spot_id\":\"ACME0000123\",\"file\":\"ACME0000123.ts\",\"break_number\":2,"
               "\"position\":3,\"reason\":\"aired\"}\n"},
        {odd, "{\"time\":\"1970-01-01T00:00:00.999Z\",\"event\":\"ignored\",\"channel\":null,\"splice_event_id\":null,"
              "\"segmentation_event_id\":5,\"splice_time\":null,\"duration\":null,\"pts\":null,\"aired\":null,"
              "\"late\":45000,"
              "\"reason\":\"say \\\"no\\\"\\\\\\u000a\\u0009\\u0001 caf\xc3\xa9\"}\n"},
    };
    char buf[ASRUN_LINE_SIZE];
    for (const auto &c : cases) {
        EXPECT_EQ((int)c.second.size(), asrun_format(&c.first, buf, sizeof(buf)));
        EXPECT_EQ(c.second, buf);
        EXPECT_EQ(-ENOSPC, asrun_format(&c.first, buf, c.second.size()));
        EXPECT_STREQ("", buf);
    }
    const char *names[] = {"cue", "armed", "repeat", "cancelled", "break_start", "break_end",
                           "break_skipped", "ignored", "kept", "dropped", "expired", "return", "spot",
                           "input_switch"};
    for (int e = 0; e < ASRUN_EVENT_COUNT; e++)
        EXPECT_STREQ(names[e], asrun_event_name(e));
    asrun_record bad = asrun_record_make(ASRUN_EVENT_COUNT, 0);
    EXPECT_EQ(-EINVAL, asrun_format(&bad, buf, sizeof(buf)));
}

TEST(Asrun, FileIsAppendedAndRotatedLikeTheLog)
{
    setenv("TZ", "UTC", 1);  // rotated names in UTC
    tzset();
    kt::TempDir dir;
    std::string path = dir / "asrun.json";
    kt::write_file(path, "from an earlier run\n");
    asrun_ctx *a = nullptr;
    ASSERT_EQ(0, asrun_create(&a, path.c_str(), 60));

    const int64_t t0 = 1700000000;
    const int64_t at[] = {t0, t0 + 30, t0 + 60, t0 + 61};
    for (int64_t secs : at) {
        asrun_record r = asrun_record_make(ASRUN_CUE, secs * 1000);
        EXPECT_EQ(0, asrun_write(a, &r));
    }
    // The first line rotates what an earlier run left; the next rotation is
    // due once more than the interval has passed.
    EXPECT_EQ("from an earlier run\n", kt::read_file(path + "-20231114_221320"));
    std::string first = kt::read_file(path + "-20231114_221421");
    EXPECT_EQ(3, std::count(first.begin(), first.end(), '\n')) << first;
    std::string now = kt::read_file(path);
    EXPECT_EQ(1, std::count(now.begin(), now.end(), '\n')) << now;

    // Without an interval (the demo's run): the earlier file goes aside at the first line, then one file.
    asrun_ctx *run = nullptr;
    ASSERT_EQ(0, asrun_create(&run, (dir / "run.json").c_str(), 0));
    kt::write_file(dir / "run.json", "earlier\n");
    for (int64_t secs : at) {
        asrun_record r = asrun_record_make(ASRUN_CUE, secs * 1000);
        EXPECT_EQ(0, asrun_write(run, &r));
    }
    EXPECT_EQ("earlier\n", kt::read_file(dir / "run.json-20231114_221320"));
    std::string whole = kt::read_file(dir / "run.json");
    EXPECT_EQ(4, std::count(whole.begin(), whole.end(), '\n')) << whole;
    asrun_destroy(&run);

    asrun_record bad = asrun_record_make(-1, 0);
    EXPECT_EQ(-EINVAL, asrun_write(a, &bad));
    EXPECT_EQ(0, asrun_destroy(&a));
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ(-EINVAL, asrun_destroy(&a));

    // A run opened at start moves the last run's file aside before any line.
    ASSERT_EQ(0, asrun_create(&a, path.c_str(), 60));
    EXPECT_EQ(0, asrun_open(a, (t0 + 120) * 1000));
    EXPECT_EQ(now, kt::read_file(path + "-20231114_221520"));
    EXPECT_EQ("", kt::read_file(path));
    asrun_destroy(&a);

    ASSERT_EQ(0, asrun_create(&a, (dir / "no/such/dir.json").c_str(), 60));
    EXPECT_EQ(-ENOENT, asrun_open(a, t0 * 1000));
    asrun_record r = asrun_record_make(ASRUN_CUE, t0 * 1000);
    EXPECT_EQ(-ENOENT, asrun_write(a, &r));
    // A line posted is written by the writer's thread: its failure is reported by a later post, once for
    // the spell; once the file takes lines again, a post reports how many the spell lost.
    EXPECT_EQ(0, asrun_post(a, &r));
    auto next_report = [&] {
        int got = 0;
        for (int i = 0; i < 500 && got == 0; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            got = asrun_post(a, &r);
        }
        return got;
    };
    EXPECT_EQ(-ENOENT, next_report());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(0, asrun_post(a, &r));  // still failing: said already
    std::filesystem::create_directories(dir / "no/such");
    int lost = next_report();
    EXPECT_GE(lost, 2);  // the first two at least; the third may find the folder made
    EXPECT_EQ(0, asrun_post(a, &r));
    EXPECT_EQ(0, asrun_destroy(&a));
    EXPECT_EQ(-EINVAL, asrun_open(nullptr, 0));
    EXPECT_EQ(-EINVAL, asrun_create(&a, "", 60));
}
