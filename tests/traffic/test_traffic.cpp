// The traffic controller on a schedule file: what it has to say reaches the
// program's sink as typed events (the words are event/'s), and the planner
// tells each break what it airs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "lib/test_support.h"
#include "sch.h"
#include "splice/event_asrun.h"
#include "splice/rep_ctx.h"
#include "splice/splice.h"
#include "traffic/traffic.h"

namespace {

const int64_t NOW = 1709283600000;  // 2024-03-01 09:00:00 UTC
const int64_t MIN_TICKS = 60 * 90000;

struct Seen {
    event_type type;
    int reason, result, break_number;
    int64_t window_ms, count;
    std::string schedule, file, spot, text;
    std::vector<std::string> spots;
};

void collect(void *opaque, const event *ev)
{
    Seen s = {ev->type, ev->reason, ev->result, 0, 0, ev->count, "", "", "", ev->text ? ev->text : "", {}};
    if (ev->traffic) {
        s.break_number = ev->traffic->break_number, s.window_ms = ev->traffic->window_ms;
        s.schedule = ev->traffic->schedule, s.file = ev->traffic->file;
        for (int i = 0; i < ev->traffic->spot_count; i++)
            s.spots.push_back(ev->traffic->spots[i].id);
    }
    if (ev->spot)
        s.spot = ev->spot->id;
    ((std::vector<Seen> *)opaque)->push_back(s);
}

const Seen *find(const std::vector<Seen> &seen, event_type type)
{
    for (const Seen &s : seen)
        if (s.type == type)
            return &s;
    return nullptr;
}

TEST(Traffic, WhatItSaysReachesTheSinkAsEventsAndEachBreakItsPlan)
{
    setenv("TZ", "UTC", 1);
    tzset();
    kt::TempDir dir;
    std::filesystem::create_directory(dir / "spots");
    std::string sch_path = dir / "day.SCH";
    kt::write_file(sch_path, sch::record("LOI", "0301", "1000", "0030", 1, 1, "000030", "A") + "\n" +
                                 "NUL 0301 120000 1100 0015 001\n");
    event_air_clock clock;
    event_air_clock_init(&clock, NOW, 0);
    event first = event_make(EVENT_FIRST_TIMESTAMP);
    first.pts = 0;
    event_air_clock_follow(&clock, &first, NOW);  // pts 0 airs at 09:00
    std::vector<Seen> seen;
    std::string ver = dir / "no-such-folder/day.VER", spots_dir = dir / "spots";
    traffic_config config = {sch_path.c_str(), spots_dir.c_str(), "", "", ver.c_str(), 1 << 20, &clock,
                             {collect, &seen}};
    traffic *t = nullptr;
    ASSERT_EQ(0, traffic_create(&t, &config));

    traffic_poll(t, NOW);
    const Seen *in_force = find(seen, EVENT_SCHEDULE_IN_FORCE);
    ASSERT_NE(nullptr, in_force);
    EXPECT_EQ(sch_path, in_force->schedule);
    EXPECT_EQ(1, in_force->count);
    const Seen *missing = find(seen, EVENT_SPOT_CHECKED);
    ASSERT_NE(nullptr, missing);
    EXPECT_EQ(EVENT_SPOT_CHECK_MISSING, missing->reason);
    EXPECT_EQ("A", missing->spot);
    EXPECT_EQ(dir / "spots", missing->file);
    const Seen *warned = find(seen, EVENT_SPOT_WILL_NOT_AIR);  // its window begins within the hour
    ASSERT_NE(nullptr, warned);
    EXPECT_EQ(NOW + 3600000, warned->window_ms);
    const Seen *f = find(seen, EVENT_VERIFICATION_FAILED);  // a new schedule's file is written at once
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(ver, f->file);
    EXPECT_EQ(-ENOENT, f->result);

    // Outside every window, in the window of a LOI record, in the window of a NUL record.
    const splice_planner *planner = traffic_planner(t);
    struct { int64_t at_min; int aired; int reason; int64_t window_ms; } rows[] = {
        {30, 0, EVENT_PLAN_OUTSIDE, NOW + 30 * 60000},
        {65, 1, EVENT_PLAN_SPOTS, NOW + 60 * 60000},
        {125, SPLICE_PLAN_LEAVE, EVENT_PLAN_NUL, NOW + 120 * 60000},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.at_min);
        seen.clear();
        splice_break b = {(uint32_t)r.at_min, r.at_min * MIN_TICKS, r.at_min * MIN_TICKS, 30 * 90000, 0};
        rep_spot spots[REP_MAX_SPOTS];
        EXPECT_EQ(r.aired, planner->plan(planner->opaque, &b, spots, REP_MAX_SPOTS));
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(EVENT_BREAK_PLANNED, seen[0].type);
        EXPECT_EQ(r.reason, seen[0].reason);
        EXPECT_EQ(r.window_ms, seen[0].window_ms);
        if (r.reason == EVENT_PLAN_SPOTS) {
            EXPECT_EQ(1, seen[0].break_number);
            EXPECT_EQ(std::vector<std::string>{"A"}, seen[0].spots);
        }
    }

    // The NUL break's record is decided: the verification file is written again, and the failure, said
    // already, is not said again within the minute.
    seen.clear();
    EXPECT_EQ(-ENOENT, traffic_poll(t, NOW + 2 * 3600000));
    EXPECT_EQ(nullptr, find(seen, EVENT_VERIFICATION_FAILED));
    ASSERT_EQ(0, traffic_destroy(&t));
}

} // namespace
